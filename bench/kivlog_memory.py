#!/usr/bin/env python3
"""kivlog build and check of one long manifest: time and peak memory.

    kivlog_memory.py KIVLOG WORKDIR RECORDS

Writes a manifest of RECORDS records (directories, files, registry values,
INI entries, Program Manager items; every name different, as an installer
logs them), builds it on a stand-in stub and checks the result, each once,
and prints result lines for bench/report.py: the wall time and the maximum
resident set size of each run, and the sizes of the manifest and the file.
The manifest is written a record at a time, so the generator itself stays
small whatever the count.
"""
import json
import os
import subprocess
import sys
import time
from kivlog_bench import write_stand_in_stub


def record(i):
    d = i // 50
    kind = i % 10
    if kind == 0:
        return {"type": "directory", "path": f"C:\\Program Files\\Kiv Bench\\d{d}\\s{i}"}
    if kind <= 5:
        return {"type": "file", "path": f"C:\\Program Files\\Kiv Bench\\d{d}\\file{i}.dat"}
    if kind <= 7:
        return {"type": "registry", "root": "HKEY_LOCAL_MACHINE",
                "path": f"Software\\Kiv Bench\\Components\\c{i}", "data": f"value {i}"}
    if kind == 8:
        return {"type": "ini", "file": "C:\\Windows\\kivbench.ini", "section": f"S{d}",
                "key": f"k{i}", "remove": True}
    return {"type": "shell_item", "group": f"Kiv Bench {d}", "item": f"Item {i}"}


def write_manifest(path, n):
    with open(path, "w", encoding="utf-8") as f:
        f.write('{"display_name": "Kiv Bench", "records": [\n')
        for i in range(n):
            f.write(json.dumps(record(i)) + (",\n" if i + 1 < n else "\n"))
        f.write("]}\n")


def run(args):
    """Wall time in ms and the peak resident set size in KiB of one run."""
    start = time.perf_counter()
    child = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    wall = (time.perf_counter() - start) * 1000
    out = child.stdout.read().decode()
    err = child.stderr.read().decode()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"kivlog_memory.py: {' '.join(args)} failed:\n{err[:2000]}")
    return wall, usage.ru_maxrss, out


def main():
    kivlog, work, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
    os.makedirs(work, exist_ok=True)
    stub = os.path.join(work, "memory-stub.exe")
    write_stand_in_stub(stub)
    manifest = os.path.join(work, "memory.json")
    built = os.path.join(work, "memory.exe")
    write_manifest(manifest, n)
    if os.path.exists(built):
        os.remove(built)
    build_ms, build_kib, _ = run([kivlog, "build", manifest, "--stub", stub, "-o", built])
    check_ms, check_kib, out = run([kivlog, "check", built])
    if out.strip() != f"ok: {n} records":
        sys.exit(f"kivlog_memory.py: the built file checks as {out.strip()!r}")
    key = f"kivlog_memory.{n}"
    print(f"kivlog_memory.records {n}")
    print(f"{key}.manifest_size {os.path.getsize(manifest)}")
    print(f"{key}.file_size {os.path.getsize(built)}")
    print(f"{key}.build_ms {build_ms:.1f}")
    print(f"{key}.build_peak_kib {build_kib}")
    print(f"{key}.check_ms {check_ms:.1f}")
    print(f"{key}.check_peak_kib {check_kib}")
    for path in (stub, manifest, built):
        os.remove(path)


if __name__ == "__main__":
    main()
