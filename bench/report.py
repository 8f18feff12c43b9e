#!/usr/bin/env python3
"""Turns what bench/run measured into one Markdown table.

  report.py RESULTS HOST_JSON

RESULTS holds "key value[,value...]" lines (the Windows driver's series,
callgrind counts, the stub's size and imports, facts about the machine);
HOST_JSON is Google Benchmark's JSON output. Goals are shown against the
figures only when the run was at full size; nothing here fails on a time.
"""
import json
import statistics
import sys

WALK_GOAL = 1.05          # /S against the bare loop: no box on either side
WALK_BOX_GOAL = 1.10      # with the success box against the bare loop
RESTORE_GOAL = 1.3        # /S against CopyFileA
RESTORE_IN_PROCESS_GOAL = 1.1
READ_NS_GOAL = 100          # per record, the host's chain check and walk each
READ_INSTRUCTIONS_GOAL = 500
SIZE_GOAL = 64 * 1024  # the i686 stub, with everything in it
MEMORY_GOAL = 8 * 2**20
# kivlog's time grows in proportion to the records: ten times the records may
# take at most this much more than ten times the time. The page cache and the
# allocator cost a little more per record at a million records (kivlog holds
# over 1 GiB then), more so on a busy machine; a cost that grew with the
# square of the records would take a hundred times.
KIVLOG_GROWTH_SLACK = 1.5
# kivlog's peak memory (maximum resident set size) on a long file: build
# holds the records' bytes and a fixed part, check reads a record at a time.
KIVLOG_BUILD_MEMORY_GOAL = 2.0  # times the file built
KIVLOG_CHECK_MEMORY_GOAL = 64 * 2**20


def read_results(path):
    values = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line.strip():
                continue
            key, _, value = line.partition(" ")
            values[key] = value
    return values


def series(values, key):
    text = values.get(key)
    if not text:
        return []
    return [float(v) for v in text.split(",")]


def ms(value):
    return f"{value:,.0f} ms" if value >= 100 else f"{value:,.1f} ms"


def spread(samples, unit=ms):
    if not samples:
        return "—"
    med = statistics.median(samples)
    if len(samples) == 1:
        return unit(med)
    return f"{unit(med)} [{unit(min(samples))} – {unit(max(samples))}]"


def mib(value):
    return f"{value / 2**20:,.1f} MiB"


def size_label(n):
    if n >= 2**30 and n % 2**30 == 0:
        return f"{n // 2**30} GiB"
    if n >= 2**20 and n % 2**20 == 0:
        return f"{n // 2**20} MiB"
    return f"{n:,} bytes"


def pair_ratios(a, b):
    return [x / y for x, y in zip(a, b) if y > 0]


class Table:
    def __init__(self, judged):
        self.judged = judged
        self.rows = []

    def add(self, measure, setting, stub, reference, ratio, goal="", status=""):
        if goal and not self.judged:
            status = "not judged (--small)"
        self.rows.append((measure, setting, stub, reference, ratio, goal or "—", status or "—"))

    def render(self):
        head = ("Measure", "Setting", "Stub / core", "Reference", "Ratio or figure", "Goal",
                "Where it stands")
        lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        for row in self.rows:
            lines.append("| " + " | ".join(cell.replace("|", "\\|") for cell in row) + " |")
        return "\n".join(lines)


def verdict(met):
    return "met" if met else "**missed**"


def walk_rows(table, v):
    stub, floor = series(v, "walk.stub_ms"), series(v, "walk.floor_ms")
    if not stub:
        return
    files, dirs = int(v["walk.files"]), int(v["walk.directories"])
    runs = len(stub)
    ratios = pair_ratios(stub, floor)
    ratio = statistics.median(ratios)
    table.add("Uninstall under Wine: wall time to the success box (floor: to its exit)",
              f"{files:,} files of 100 bytes in {dirs} directories, fresh each run; "
              f"{runs} run{'s' if runs > 1 else ''} each, alternating",
              spread(stub), "floor (DeleteFileA/RemoveDirectoryA): " + spread(floor),
              f"stub/floor median {ratio:.2f}; pairs " +
              ", ".join(f"{r:.2f}" for r in ratios),
              f"≤ {WALK_BOX_GOAL}", verdict(ratio <= WALK_BOX_GOAL))
    silent = series(v, "walk.silent_ms")
    if silent:
        silent_ratios = pair_ratios(silent, floor)
        silent_ratio = statistics.median(silent_ratios)
        table.add("Uninstall under Wine with /S: wall time to the exit (no box on either side)",
                  f"the same {files:,} files, the same runs (stub, /S stub, floor in turn)",
                  spread(silent), "floor (DeleteFileA/RemoveDirectoryA): " + spread(floor),
                  f"/S stub/floor median {silent_ratio:.2f}; pairs " +
                  ", ".join(f"{r:.2f}" for r in silent_ratios),
                  f"≤ {WALK_GOAL}", verdict(silent_ratio <= WALK_GOAL))

    stub0, floor0, box0 = (series(v, "walk.stub_empty_ms"), series(v, "walk.floor_empty_ms"),
                           series(v, "walk.box_only_ms"))
    check, read = series(v, "walk.wine_check_ms"), series(v, "walk.wine_read_walk_ms")
    records = int(v.get("walk.records", "0"))
    fixed = statistics.median(stub0) - statistics.median(floor0)
    table.add("Fixed costs: the same runs on an empty product",
              "no files, 1 directory",
              spread(stub0),
              f"floor: {spread(floor0)}; a program that only shows the box: {spread(box0)}",
              f"stub − floor {ms(fixed)} "
              f"({fixed / statistics.median(floor) * 100:.1f} % of the full floor)")
    reading = statistics.median(check) + statistics.median(read)
    table.add("Reading the log under Wine (the stub's reader and file calls, no actions)",
              f"the product's log, {records:,} records",
              f"chain check {spread(check)}; walk {spread(read)}", "—",
              f"{reading / records * 1000:.2f} µs per record for both passes "
              f"({reading / statistics.median(floor) * 100:.1f} % of the floor)")
    rest = statistics.median(stub) - statistics.median(floor) - fixed - reading
    table.add("Stub − floor, what is left after fixed costs and reading",
              "medians", ms(rest), "—",
              f"{rest / statistics.median(floor) * 100:.1f} % of the floor")


def log_rows(table, v):
    check, walk = series(v, "log.wine_check_ms"), series(v, "log.wine_walk_ms")
    if not check:
        return
    records = int(v.get("log.records", "0"))
    table.add("Reading a long log under Wine (the stub's reader and file calls, no actions)",
              f"{records:,} records of every type (the host rows' log); "
              f"{len(check)} run{'s' if len(check) > 1 else ''}",
              f"chain check {spread(check)}; walk {spread(walk)}", "—",
              f"{statistics.median(check) / records * 1e6:,.0f} ns and "
              f"{statistics.median(walk) / records * 1e6:,.0f} ns per record")


def restore_rows(table, v):
    sizes = sorted(int(k[len("restore["):k.index("]")]) for k in v
                   if k.startswith("restore[") and k.endswith("].stub_ms"))
    peaks = {}
    for size in sizes:
        key = f"restore[{size}]."
        stub, copy = series(v, key + "stub_ms"), series(v, key + "copy_ms")
        ratios = pair_ratios(stub, copy)
        ratio = statistics.median(ratios)
        streaming = ""
        stub0, floor0 = series(v, "walk.stub_empty_ms"), series(v, "walk.floor_empty_ms")
        if stub0 and floor0:
            # The start-up and the box take the same time whatever the size.
            moved = statistics.median(stub) - statistics.median(stub0)
            copied = statistics.median(copy) - statistics.median(floor0)
            if moved > 0 and copied > 0 and size >= 64 * 2**20:
                streaming = f"; without the fixed costs {moved / copied:.2f}"
        rate = size / 2**20 / (statistics.median(stub) / 1000)
        copy_rate = size / 2**20 / (statistics.median(copy) / 1000)
        big = size >= 2**30
        table.add(f"Restore of one saved file: wall time to the success box",
                  f"{size_label(size)} saved content; {len(stub)} run{'s' if len(stub) > 1 else ''} each, "
                  "alternating, after one unrecorded pair",
                  f"{spread(stub)} ({rate:,.0f} MiB/s)",
                  f"CopyFileA of the same bytes: {spread(copy)} ({copy_rate:,.0f} MiB/s)",
                  f"stub/copy median {ratio:.2f}; pairs " + ", ".join(f"{r:.2f}" for r in ratios)
                  + streaming,
                  "", "slope only" if not big else "see the /S row")
        silent = series(v, key + "silent_ms")
        deletion = series(v, key + "in_process_delete_ms")
        without_deletion = ""
        if silent and deletion:
            # The run ends by deleting the uninstall file, which holds all it
            # restored; a copy deletes nothing.
            rest = statistics.median(silent) - statistics.median(deletion)
            without_deletion = (f"; less the uninstall file's deletion "
                                f"{rest / statistics.median(copy):.2f}")
        if silent:
            silent_ratios = pair_ratios(silent, copy)
            silent_ratio = statistics.median(silent_ratios)
            table.add("Restore of one saved file with /S: wall time to the exit",
                      f"{size_label(size)}; the same runs (stub, /S stub, CopyFileA in turn)",
                      f"{spread(silent)} ({size / 2**20 / (statistics.median(silent) / 1000):,.0f} MiB/s)",
                      f"CopyFileA of the same bytes: {spread(copy)}",
                      f"/S stub/copy median {silent_ratio:.2f}; pairs " +
                      ", ".join(f"{r:.2f}" for r in silent_ratios) + without_deletion,
                      f"≤ {RESTORE_GOAL}" if big else "",
                      verdict(silent_ratio <= RESTORE_GOAL) if big else "slope only")
        action, call = (series(v, key + "in_process_restore_ms"),
                        series(v, key + "in_process_copy_ms"))
        if action and call:
            inside = statistics.median(action) / statistics.median(call)
            table.add("The same restore inside one process: the stub's reader and record action",
                      f"{size_label(size)}; no start-up, check or box",
                      spread(action), f"a CopyFileA call: {spread(call)}",
                      f"{inside:.2f}",
                      f"≤ {RESTORE_IN_PROCESS_GOAL}" if big else "",
                      verdict(inside <= RESTORE_IN_PROCESS_GOAL) if big else "")
        if deletion and call:
            table.add("Deleting the uninstall file, as a whole run ends (one process)",
                      f"{size_label(size)} uninstall file, just restored from",
                      spread(deletion), f"a CopyFileA call: {spread(call)}",
                      f"{statistics.median(deletion) / statistics.median(call):.2f} of a copy's time",
                      "", "part of the /S row; a copy has no such step")
        peaks[size] = (max(series(v, key + "stub_peak_ws")),
                       max(series(v, key + "stub_peak_private")),
                       max(series(v, key + "copy_peak_ws")),
                       max(series(v, key + "box_only_peak_ws")),
                       max(series(v, key + "box_only_peak_private")))
    if not sizes:
        return
    low, high = sizes[0], sizes[-1]
    for size in sizes:
        ws, private, copy_ws, box_ws, box_private = peaks[size]
        table.add("Peak working set of the stub (Wine: the process's RSS high-water mark)",
                  f"restore of {size_label(size)}",
                  f"{mib(ws)}; private {mib(private)}",
                  f"CopyFileA program {mib(copy_ws) if copy_ws else 'ended before a sample'}; "
                  f"a program that only shows the box "
                  f"{mib(box_ws)} (private {mib(box_private)})",
                  f"stub − box-only program {mib(ws - box_ws)}",
                  "< 8 MiB" if size == high else "",
                  (verdict(ws < MEMORY_GOAL) + " as measured; stub's own share "
                   + verdict(ws - box_ws < MEMORY_GOAL)) if size == high else "")
    if high > low:
        growth = peaks[high][0] - peaks[low][0]
        table.add("Peak working set growth with the saved size",
                  f"{size_label(low)} → {size_label(high)}",
                  f"{growth / 2**20:+.2f} MiB", "—",
                  "the stub's memory does not grow with what it restores" if abs(growth) < 2**20
                  else "grows with what it restores",
                  "flat", verdict(abs(growth) < 2**20))


def host_rows(table, v, host):
    by_name = {}
    for b in host.get("benchmarks", []):
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        by_name[b["run_name"]] = b
    records = int(v.get("host.records", "0"))
    reps = v.get("host.repetitions", "1")
    for name, label, counted in (("BM_ChainCheck", "Chain check", "check"),
                                 ("BM_WalkWithoutActions", "Walk without actions", "walk")):
        b = by_name.get(name)
        if not b:
            continue
        ns = 1e9 / b["items_per_second"]
        ir = int(v.get(f"callgrind.{counted}", "0")) / (records + 1)
        table.add(f"{label} on the host (Google Benchmark)",
                  f"{records:,} records of every type, a real file through stdio; "
                  f"median of {reps}",
                  f"{ns:,.0f} ns per record", "—",
                  f"{ir:,.0f} instructions per record (callgrind)",
                  f"≤ {READ_NS_GOAL} ns, ≤ {READ_INSTRUCTIONS_GOAL} instructions",
                  verdict(ns <= READ_NS_GOAL and ir <= READ_INSTRUCTIONS_GOAL))
    for arg, what in ((1, "[Rename] on the first line: 60 KB moved"),
                      (0, "no [Rename]: whole file scanned, section appended")):
        b = by_name.get(f"BM_ProfileEditor/{arg}")
        if not b:
            continue
        unit = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[b["time_unit"]]
        extra = ""
        if arg == 0 and "callgrind.profile" in v:
            extra = f"; {int(v['callgrind.profile']):,} instructions per edit (callgrind)"
        table.add("Profile-section editor on the host",
                  f"{int(b['file_bytes']):,}-byte file; {what}",
                  f"{b['real_time'] * unit:,.1f} µs per edit", "—",
                  f"{b['bytes_per_second'] / 2**20:,.0f} MiB/s{extra}")


def kivlog_rows(table, v):
    sizes = [int(n) for n in v.get("kivlog.sizes", "").split(",") if n]
    build = {n: series(v, f"kivlog.{n}.build_ms") for n in sizes}
    append = {n: series(v, f"kivlog.{n}.append_ms") for n in sizes}
    sizes = [n for n in sizes if build[n] and append[n]]
    for n in sizes:
        ratio = statistics.median(append[n]) / statistics.median(build[n])
        table.add("kivlog append of one manifest (one transaction, three flushes)",
                  f"{n:,} records of every type into a file built empty; "
                  f"{int(v[f'kivlog.{n}.appended_size']):,} bytes; "
                  f"{len(append[n])} run{'s' if len(append[n]) > 1 else ''}",
                  spread(append[n]), "build of the same: " + spread(build[n]),
                  f"{ratio:.2f}× build", "≤ 3× build", verdict(ratio <= 3))
    if len(sizes) < 2:
        return
    # Time in proportion to the records: the largest size against the
    # smallest, for build and append, with the time per record at each size.
    small, large = sizes[0], sizes[-1]
    scale = large / small
    for what, times in (("build", build), ("append", append)):
        growth = statistics.median(times[large]) / statistics.median(times[small])
        per_record = "; ".join(f"{n:,}: {statistics.median(times[n]) / n * 1000:.1f} µs"
                               for n in sizes)
        table.add(f"kivlog {what}: growth with the record count",
                  f"{small:,} → {large:,} records ({scale:.0f}×), medians",
                  f"{growth:.1f}× the time", "—", "per record " + per_record,
                  f"≤ {scale * KIVLOG_GROWTH_SLACK:.0f}× (in proportion)",
                  verdict(growth <= scale * KIVLOG_GROWTH_SLACK))


def kivlog_memory_rows(table, v):
    n = v.get("kivlog_memory.records")
    if not n:
        return
    key = f"kivlog_memory.{n}"
    file_size = int(v[f"{key}.file_size"])
    build = int(v[f"{key}.build_peak_kib"]) * 1024
    check = int(v[f"{key}.check_peak_kib"]) * 1024
    setting = (f"{int(n):,} records (directories, files, registry values, INI entries, items); "
               f"manifest {int(v[f'{key}.manifest_size']):,} bytes, file {file_size:,} bytes; "
               "one run")
    mib = lambda b: f"{b / 2**20:,.1f} MiB"
    table.add("kivlog build of a long manifest: peak memory (maximum resident set size)", setting,
              f"{mib(build)} in {ms(float(v[f'{key}.build_ms']))}", f"the file: {mib(file_size)}",
              f"{build / file_size:.2f}× the file",
              f"≤ {KIVLOG_BUILD_MEMORY_GOAL:g}× the file",
              verdict(build <= KIVLOG_BUILD_MEMORY_GOAL * file_size))
    table.add("kivlog check of the long file: peak memory (maximum resident set size)", setting,
              f"{mib(check)} in {ms(float(v[f'{key}.check_ms']))}", f"the file: {mib(file_size)}",
              f"{check / file_size:.2f}× the file", f"≤ {mib(KIVLOG_CHECK_MEMORY_GOAL)}",
              verdict(check <= KIVLOG_CHECK_MEMORY_GOAL))


def library_rows(table, v):
    first = series(v, "library.first_ms")
    last = series(v, "library.last_ms")
    if not first or not last:
        return
    n = int(v["library.transactions"])
    batch = int(v["library.batch"])
    table.add("kivlog.h: one transaction in-process (open, check, append, three flushes)",
              f"{n:,} transactions of {batch} record{'s' if batch > 1 else ''} into one file; "
              f"the first 100 and the last 100",
              f"first: {spread(first)}", "—",
              f"last ({n * batch:,} records in the file): {spread(last)}", "—", "—")


def size_rows(table, v):
    if "stub.size" not in v:
        return
    size = int(v["stub.size"])
    table.add("Stub size", "kivuninst.exe (i686) as built (MinSizeRel)",
              f"{size:,} bytes", "—", "the temporary copy takes the whole image",
              f"≤ {SIZE_GOAL:,}", verdict(size <= SIZE_GOAL))
    table.add("Stub imports", "DLL (functions)", v.get("stub.imports", "—"), "—",
              v.get("stub.import_list", "—"))


def main():
    values = read_results(sys.argv[1])
    with open(sys.argv[2], encoding="utf-8") as f:
        host = json.load(f)
    judged = values.get("meta.mode") == "full"
    table = Table(judged)
    walk_rows(table, values)
    log_rows(table, values)
    restore_rows(table, values)
    host_rows(table, values, host)
    kivlog_rows(table, values)
    kivlog_memory_rows(table, values)
    library_rows(table, values)
    size_rows(table, values)
    print(table.render())
    print()
    print(f"Mode: {values.get('meta.mode', '?')}; scheduling: {values.get('meta.scheduling', '?')}; "
          f"load average before/after: {values.get('meta.load_before', '?')} / "
          f"{values.get('meta.load_after', '?')}; {values.get('meta.machine', '')}; "
          f"runs under Wine on the {values.get('meta.windows_build', 'win32')} build")


if __name__ == "__main__":
    main()
