#!/usr/bin/env python3
"""What the stub's bytes are spent on, as two Markdown tables: its sections
(from the image's own section table) and its largest functions (from the link
map of the same build, which cmake/stub.cmake writes beside the stub; each
function has a section of its own, -ffunction-sections).

    bench/stub_size.py STUB.exe [STUB.map] [--functions N]

The map defaults to the stub's name with .map. Section sizes are the bytes
each section holds (its virtual size; the file rounds each up to 512).
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys

WHAT = {
    ".text": "code",
    ".rdata": "read-only data: texts, tables",
    ".data": "initialised data",
    ".bss": "zero-filled data (no room in the file)",
    ".idata": "imports",
    ".rsrc": "resources: strings, version, manifest",
    ".reloc": "relocations (kept: address-space randomisation)",
}


def sections(path):
    """(name, virtual size, raw size) of each section, and the headers' size."""
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    headers = struct.unpack_from("<I", data, optional + 60)[0]
    table = optional + optional_size
    found = []
    for i in range(count):
        at = table + 40 * i
        name = data[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
        virtual, _, raw = struct.unpack_from("<III", data, at + 8)
        found.append((name, virtual, raw))
    return found, headers


def functions(map_path):
    """(size, mangled name) of every function section in the link map."""
    with open(map_path, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    found = []
    pending = None
    for line in lines:
        # " .text$NAME" alone on its line, its address and size on the next;
        # or all on one line when the name is short.
        m = re.match(r"^ \.text\$(\S+)(?:\s+0x[0-9a-f]+\s+0x([0-9a-f]+))?", line)
        if m:
            if m.group(2):
                found.append((int(m.group(2), 16), m.group(1)))
                pending = None
            else:
                pending = m.group(1)
            continue
        if pending:
            m = re.match(r"^\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s", line)
            if m:
                found.append((int(m.group(1), 16), pending))
            pending = None
    return found


def demangle(names):
    tool = shutil.which("c++filt")
    if not tool or not names:
        return names
    # -p: the names without their parameters.
    out = subprocess.run([tool, "-p"], input="\n".join(names), capture_output=True, text=True,
                         check=False).stdout.splitlines()
    return out if len(out) == len(names) else names


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("stub")
    parser.add_argument("map", nargs="?")
    parser.add_argument("--functions", type=int, default=12)
    args = parser.parse_args()
    map_path = args.map or os.path.splitext(args.stub)[0] + ".map"

    found, headers = sections(args.stub)
    size = os.path.getsize(args.stub)
    name = os.path.basename(args.stub)
    print(f"| {name}: {size:,} bytes | Bytes | In the file | What it holds |")
    print("|---|---|---|---|")
    print(f"| headers | {headers:,} | {headers:,} | DOS, PE and section headers |")
    for section, virtual, raw in found:
        print(f"| {section} | {virtual:,} | {raw:,} | {WHAT.get(section, '')} |")

    if not os.path.exists(map_path):
        print(f"\n(no link map at {map_path}: the largest functions are unknown)")
        return 0
    funcs = sorted(functions(map_path), reverse=True)
    code = sum(s for s, _ in funcs)
    top = funcs[:args.functions]
    readable = demangle([n for _, n in top])
    print()
    print(f"| Largest functions ({len(funcs)} in all, {code:,} bytes of code) | Bytes | Share |")
    print("|---|---|---|")
    for (bytes_, _), text in zip(top, readable):
        text = re.sub(r"\s*\[clone [^]]*\]", "", text)  # a copy the compiler specialised
        print(f"| {text} | {bytes_:,} | {100.0 * bytes_ / code:.1f} % |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
