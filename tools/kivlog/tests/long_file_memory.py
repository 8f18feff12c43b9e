#!/usr/bin/env python3
"""A long uninstall file is read a record at a time: check, list --json and
unpack of 200,000 records run within an address-space limit far below what
holding every record would take, and give what they give on any file.

    long_file_memory.py KIVLOG WORKDIR

The limit (RLIMIT_AS) is on the whole address space, not on what is
resident, so the figure holds on any machine; sanitized builds, which
reserve terabytes of shadow memory, do not run this.
"""
import json
import os
import resource
import shutil
import subprocess
import sys

RECORDS = 200_000
# A record listed in full (its JSON object and its fields) costs some 500
# bytes, so 200,000 of them held at once would take about 100 MiB.
LIMIT = 64 * 2**20


def limited():
    resource.setrlimit(resource.RLIMIT_AS, (LIMIT, LIMIT))


def run(args, limit=True):
    return subprocess.run(args, capture_output=True, text=True,
                          preexec_fn=limited if limit else None)


def fail(message, result=None):
    detail = f"\n{result.stderr[:2000]}" if result is not None else ""
    sys.exit(f"long_file_memory.py: {message}{detail}")


def main():
    kivlog, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    stub = os.path.join(work, "stub.exe")
    subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "stand_in_stub.py"),
                    stub], check=True)
    manifest = os.path.join(work, "long.json")
    with open(manifest, "w", encoding="utf-8") as f:
        f.write('{"display_name": "Long App", "records": [\n')
        for i in range(RECORDS):
            if i % 4 == 0:
                r = {"type": "directory", "path": f"C:\\Long App\\d{i}"}
            elif i % 4 == 3:
                r = {"type": "registry", "root": "HKEY_CURRENT_USER",
                     "path": f"Software\\Long App\\v{i}", "data": str(i)}
            else:
                r = {"type": "file", "path": f"C:\\Long App\\d{i - i % 4}\\f{i}.txt"}
            f.write(json.dumps(r) + (",\n" if i + 1 < RECORDS else "\n"))
        f.write(']}\n')
    built = os.path.join(work, "long.exe")
    result = run([kivlog, "build", manifest, "--stub", stub, "-o", built], limit=False)
    if result.returncode != 0:
        fail("build failed", result)

    result = run([kivlog, "check", built])
    if result.returncode != 0 or result.stdout != f"ok: {RECORDS} records\n":
        fail(f"check gave {result.returncode} {result.stdout!r}", result)

    result = run([kivlog, "list", "--json", built])
    if result.returncode != 0:
        fail("list --json failed", result)
    listing = json.loads(result.stdout)
    records = listing["records"]
    offsets = [r["offset"] for r in records]
    if (len(records) != RECORDS or offsets != sorted(offsets, reverse=True)
            or records[0]["path"] != f"Software\\Long App\\v{RECORDS - 1}"
            or records[-1]["path"] != "C:\\Long App\\d0"
            or listing["end_of_log"] >= offsets[-1]):
        fail(f"list --json gave {len(records)} records, first {records[0]}, last {records[-1]}")

    unpacked = os.path.join(work, "unpacked")
    result = run([kivlog, "unpack", built, "-o", unpacked])
    if result.returncode != 0:
        fail("unpack failed", result)
    again = os.path.join(work, "again.exe")
    result = run([kivlog, "build", os.path.join(unpacked, "manifest.json"), "--stub",
                  os.path.join(unpacked, "stub.exe"), "-o", again], limit=False)
    if result.returncode != 0:
        fail("build of the unpacked manifest failed", result)
    with open(built, "rb") as a, open(again, "rb") as b:
        if a.read() != b.read():
            fail("build -> unpack -> build does not give the same bytes")

    # A chain broken halfway: the file is refused as a whole, and list
    # writes no record of it (the check walks the whole chain first).
    data = bytearray(open(built, "rb").read())
    middle = records[RECORDS // 2]["offset"]
    data[middle:middle + 4] = (middle + 1).to_bytes(4, "little")  # a link forwards
    broken = os.path.join(work, "broken.exe")
    with open(broken, "wb") as f:
        f.write(data)
    for command in (["list"], ["list", "--json"], ["check"]):
        result = run([kivlog, *command, broken])
        if (result.returncode != 1 or result.stdout != ""
                or f"damaged at offset {middle} " not in result.stderr):
            fail(f"{' '.join(command)} of a file broken at {middle} gave {result.returncode} "
                 f"{result.stdout[:200]!r}", result)
    shutil.rmtree(work)


if __name__ == "__main__":
    main()
