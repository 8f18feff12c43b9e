#!/usr/bin/env python3
"""kivlog build and append of one large manifest, timed at several sizes.

    kivlog_bench.py KIVLOG RUNS WORKDIR RECORDS [RECORDS...]

For each size: writes a manifest of RECORDS records of every type (file
records with small saved contents among them), builds it on a stand-in stub,
and appends the same records to a file built with none; each RUNS times,
fresh. Prints result lines for bench/report.py, keyed by the size, so that
the report can tell whether the time grows in proportion to the records.
"""
import json
import os
import subprocess
import sys
import time


def records(n, work):
    saved = os.path.join(work, "saved.bin")
    with open(saved, "wb") as f:
        f.write(bytes(range(256)) * 4)
    kinds = [
        lambda i: {"type": "directory", "path": f"C:\\Program Files\\Kiv\\d{i}"},
        lambda i: {"type": "file", "path": f"C:\\Program Files\\Kiv\\d{i}\\f{i}.dll"},
        lambda i: {"type": "file", "path": f"C:\\Windows\\System\\s{i}.dll",
                   "saved": {"content_file": "saved.bin", "time": "132223104000000000"}},
        lambda i: {"type": "ini", "file": "WIN.INI", "section": "Kiv", "key": f"k{i}",
                   "prior": "<null>", "value": "", "flag": False},
        lambda i: {"type": "registry", "root": "HKEY_LOCAL_MACHINE",
                   "path": f"Software\\Kiv\\v{i}", "data": "1.0"},
        lambda i: {"type": "shell_group", "group": f"Kiv {i}"},
        lambda i: {"type": "shell_item", "group": f"Kiv {i}", "item": f"Item {i}"},
        lambda i: {"type": "font", "name": f"Kiv Sans {i}", "file": f"kiv{i}.ttf"},
    ]
    return [kinds[i % len(kinds)](i) for i in range(n)]


def timed(args):
    start = time.perf_counter()
    subprocess.run(args, check=True)
    return (time.perf_counter() - start) * 1000


def write_json(path, doc):
    with open(path, "w", encoding="utf-8") as f:
        json.dump(doc, f)


def measure(kivlog, n, runs, work, stub):
    manifest = os.path.join(work, "all.json")
    write_json(manifest, {"display_name": "Kiv Bench", "records": records(n, work)})
    empty = os.path.join(work, "empty.json")
    write_json(empty, {"display_name": "Kiv Bench", "records": []})
    append_only = os.path.join(work, "records.json")
    write_json(append_only, {"records": records(n, work)})

    built = os.path.join(work, "built.exe")
    appended = os.path.join(work, "appended.exe")
    build_ms, append_ms = [], []
    for _ in range(runs):
        if os.path.exists(built):
            os.remove(built)
        build_ms.append(timed([kivlog, "build", manifest, "--stub", stub, "-o", built]))
        subprocess.run([kivlog, "build", empty, "--stub", stub, "-o", appended], check=True)
        append_ms.append(timed([kivlog, "append", appended, append_only]))
    check = subprocess.run([kivlog, "check", appended], check=True, capture_output=True, text=True)
    if check.stdout.strip() != f"ok: {n} records":
        sys.exit(f"kivlog_bench.py: the appended file checks as {check.stdout.strip()!r}")
    key = f"kivlog.{n}"
    print(f"{key}.build_ms " + ",".join(f"{v:.1f}" for v in build_ms))
    print(f"{key}.append_ms " + ",".join(f"{v:.1f}" for v in append_ms))
    print(f"{key}.built_size {os.path.getsize(built)}")
    print(f"{key}.appended_size {os.path.getsize(appended)}")
    for name in ("all.json", "empty.json", "records.json", "saved.bin", "built.exe",
                 "appended.exe"):
        os.remove(os.path.join(work, name))


def write_stand_in_stub(path):
    """A stand-in for the stub that kivlog takes: 30,000 bytes of PE32
    headers with no sections, whose SizeOfHeaders is the whole stand-in, so
    the image ends where the log begins."""
    image = bytearray(30000)
    image[0:2] = b"MZ"
    image[0x3C:0x40] = (0x80).to_bytes(4, "little")
    image[0x80:0x84] = b"PE\0\0"
    image[0x94:0x96] = (64).to_bytes(2, "little")
    image[0x98:0x9A] = (0x10B).to_bytes(2, "little")
    image[0x98 + 60:0x98 + 64] = len(image).to_bytes(4, "little")
    with open(path, "wb") as f:
        f.write(image)


def main():
    kivlog, runs, work = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    sizes = [int(n) for n in sys.argv[4:]]
    os.makedirs(work, exist_ok=True)
    stub = os.path.join(work, "stub.exe")
    write_stand_in_stub(stub)
    print("kivlog.sizes " + ",".join(str(n) for n in sizes))
    print(f"kivlog.runs {runs}")
    for n in sizes:
        measure(kivlog, n, runs, work, stub)
    os.remove(stub)


if __name__ == "__main__":
    main()
