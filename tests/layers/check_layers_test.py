#!/usr/bin/env python3
"""check_layers.py on small trees: each rule it holds, broken once, is
found; the real src/ breaks none (given as the first argument)."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_layers  # noqa: E402


def tree(files):
    root = tempfile.mkdtemp()
    for path, text in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w", encoding="utf-8") as f:
            f.write(text)
    return root


class Layers(unittest.TestCase):
    def test_each_rule(self):
        cases = [
            # (file, its text, what the problem names; None: no problem)
            ("run/a.cpp", '#include "base/x.h"\n#include "platform/win32.h"\n', None),
            ("entry/e.cpp", "#include <windows.h>\n#include \"handoff/h.h\"\n", None),
            ("platform/p.cpp", '#include "platform/named_calls.h"\n#include <ddeml.h>\n', None),
            ("base/b.h", '#include "uninstall_file/layout.h"\n', "base/ includes uninstall_file/"),
            ("run/a.cpp", '#include "handoff/h.h"\n', "run/ includes handoff/"),
            ("uninstall_file/u.cpp", '#include "platform/win32.h"\n',
             "uninstall_file/ includes platform/"),
            ("platform/p.cpp", '#include "run/r.h"\n', "platform/ includes run/"),
            ("handoff/h.cpp", "#include <Windows.h>\n", "Windows' headers"),
            ("run/r.cpp", '#include "platform/named_calls.h"\n', "named_calls.h outside"),
            ("newroom/n.cpp", "", "a folder with no layer"),
        ]
        for path, text, problem in cases:
            with self.subTest(path=path, text=text):
                found = check_layers.problems(tree({path: text}))
                if problem is None:
                    self.assertEqual(found, [])
                else:
                    self.assertEqual(len(found), 1, found)
                    self.assertIn(problem, found[0])

    def test_the_source_tree(self):
        self.assertEqual(check_layers.problems(SRC), [])


if __name__ == "__main__":
    SRC = sys.argv.pop(1)
    unittest.main()
