#!/usr/bin/env python3
"""The folders of src/ as layers: a file includes only its own folder and the
layers below it, and only src/platform/ and src/entry/ include Windows'
headers (or named_calls.h, which includes them).

    check_layers.py SRC_DIR

Prints each include that breaks a rule and exits 1; 0 when there is none.
src/README.md describes the layers.
"""
import os
import re
import sys

# Each folder's layer: a file may include its own folder and any folder of
# a lower layer. Folders of one layer stay apart.
LAYERS = {
    "base": 0,
    "uninstall_file": 1,
    "ini": 1,
    "platform": 1,
    "run": 2,
    "handoff": 2,
    "entry": 3,
}
CALLS_WINDOWS = {"platform", "entry"}
WINDOWS_HEADERS = re.compile(
    r"#\s*include\s*<(windows|ddeml|restartmanager|psapi|shellapi|shlobj|winternl)\.h>",
    re.IGNORECASE)
PROJECT_INCLUDE = re.compile(r'#\s*include\s*"([a-z_]+)/([^"]+)"')


def problems(src):
    found = []
    for folder in sorted(os.listdir(src)):
        path = os.path.join(src, folder)
        if not os.path.isdir(path):
            continue
        if folder not in LAYERS:
            found.append(f"src/{folder}/: a folder with no layer (tests/layers/check_layers.py)")
            continue
        for name in sorted(os.listdir(path)):
            if not name.endswith((".h", ".cpp")):
                continue
            with open(os.path.join(path, name), encoding="utf-8") as f:
                lines = f.read().splitlines()
            for number, line in enumerate(lines, 1):
                where = f"src/{folder}/{name}:{number}"
                if WINDOWS_HEADERS.search(line) and folder not in CALLS_WINDOWS:
                    found.append(f"{where}: Windows' headers outside src/platform/ and src/entry/")
                m = PROJECT_INCLUDE.search(line)
                if not m:
                    continue
                to, header = m.group(1), m.group(2)
                if header == "named_calls.h" and folder not in CALLS_WINDOWS:
                    found.append(f"{where}: named_calls.h outside src/platform/ and src/entry/")
                if to == folder:
                    continue
                if to not in LAYERS:
                    found.append(f"{where}: includes {to}/, a folder with no layer")
                elif LAYERS[to] >= LAYERS[folder]:
                    found.append(f"{where}: {folder}/ includes {to}/, a layer not below it")
    return found


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    found = problems(sys.argv[1])
    for p in found:
        print(p)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
