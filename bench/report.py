#!/usr/bin/env python3
"""Turns the JSON output of the bench/bench_* programs into one table of
ratios against the baselines measured in the same run, with the targets and
the peak heap use per operation. Run by scripts/bench.sh:

    report.py [--scratch DIR] bench_filestore.json bench_formalities.json ...

Every figure is a median over the repetitions of a run (peak heap: the
largest seen; alternating op/baseline runs: the repetition with the median ratio). The table is Markdown, readable as it is in a terminal.
"""
import argparse
import datetime
import json
import os
import platform
import statistics
import sys
import textwrap

KIB, MIB, GIB = 1 << 10, 1 << 20, 1 << 30
TIME_TARGET_FROM = 64 * MIB  # the time targets are stated for 64 MiB bitmaps and up


# How each row is measured. kind "pair": two benchmarks of the same size in
# the filestore program, compared by their median times; "paired": one
# benchmark that ran the operation alternately with its baseline and carries
# both medians and their ratio in its counters.
ROWS = [
    dict(op="MergeBM", base="memcpy", kind="pair", bench="BM_MergeBM", ref="BM_Memcpy",
         throughput=True, time_target=(">=", 0.8), heap_target="nocopy"),
    dict(op="MergeBMFromOffset", base="memcpy", kind="pair", bench="BM_MergeBMFromOffset",
         ref="BM_Memcpy", throughput=True, time_target=(">=", 0.8), heap_target="nocopy"),
    dict(op="SaveBMToFile", base="write+fsync", kind="pair", bench="BM_SaveBMToFile",
         ref="BM_PlainWriteFsync", time_target=("<=", 1.15), heap_target="nocopy"),
    dict(op="ReadBMFromFile", base="read", kind="pair", bench="BM_ReadBMFromFile",
         ref="BM_PlainRead", time_target=("<=", 1.15), heap_target="nocopy"),
    dict(op="DoBitmapFormalities", base="read + 2 x (write+fsync)", kind="paired",
         bench="BM_Formalities", time_target=("<=", 1.25), heap_target=3),
    dict(op="GetBitMap", base="read", kind="paired", bench="BM_GetBitMap", heap_target=2),
    dict(op="DoBitmapDump", base="read + write+fsync", kind="paired", bench="BM_Dump",
         heap_target=2),
    dict(op="DoBitmapFormalities, log level 1", base="log level 0", kind="paired",
         bench="BM_FormalitiesLogLevel1"),
    dict(op="DoBitmapFormalities, log level 2", base="log level 0", kind="paired",
         bench="BM_FormalitiesLogLevel2"),
]


def load(paths):
    """Returns {(family, size): [runs]} and the context of the first file."""
    runs, context = {}, None
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        context = context or data.get("context", {})
        for b in data.get("benchmarks", []):
            if b.get("run_type") != "iteration" or b.get("error_occurred"):
                continue
            parts = b["run_name"].split("/")
            if len(parts) < 2 or not parts[1].isdigit():
                continue
            runs.setdefault((parts[0], int(parts[1])), []).append(b)
    return runs, context


def seconds(run):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[run.get("time_unit", "ns")]
    return run["real_time"] * scale


def fmt_time(s):
    if s < 1e-6:
        return f"{s * 1e9:.0f} ns"
    if s < 1e-3:
        return three_digits(s * 1e6) + " µs"
    if s < 1:
        return three_digits(s * 1e3) + " ms"
    return f"{s:.2f} s"


def three_digits(x):
    return f"{x:.0f}" if x >= 100 else f"{x:.1f}" if x >= 10 else f"{x:.2f}"


def fmt_size(n):
    for unit, name in ((GIB, "GiB"), (MIB, "MiB"), (KIB, "KiB")):
        if n >= unit and n % unit == 0:
            return f"{n // unit} {name}"
    return f"{n} B"


def peak(runs):
    values = [r["peak/bitmap"] for r in runs if "peak/bitmap" in r]
    return max(values) if values else None


def heap_cells(row, peak_multiple, size):
    target = row.get("heap_target")
    if peak_multiple is None:
        return ["—", "—", ""]
    shown = f"{peak_multiple:.2f}×"
    if target is None:
        return [shown, "—", ""]
    used = peak_multiple * size
    if target == "nocopy":
        return [shown, "no copy (< 1×)", "met" if used < size else "MISSED"]
    ok = used <= target * size + MIB
    return [shown, f"≤ {target}× + 1 MiB", "met" if ok else "MISSED"]


def time_cells(row, ratio, size):
    target = row.get("time_target")
    if target is None or size < TIME_TARGET_FROM:
        return [f"{ratio:.2f}", "—", ""]
    sign, limit = target
    ok = ratio >= limit if sign == ">=" else ratio <= limit
    # One more digit where two would hide which side of the target it fell on.
    shown = f"{ratio:.3f}" if f"{ratio:.2f}" == f"{limit:.2f}" else f"{ratio:.2f}"
    return [shown, f"{'≥' if sign == '>=' else '≤'} {limit}", "met" if ok else "MISSED"]


def build_rows(runs):
    sizes = sorted({size for (_, size) in runs})
    table, notes = [], []
    for row in ROWS:
        for size in sizes:
            mine = runs.get((row["bench"], size))
            if not mine:
                continue
            if row["kind"] == "pair":
                ref = runs.get((row["ref"], size))
                if not ref:
                    continue
                op_s = statistics.median(seconds(r) for r in mine)
                base_s = statistics.median(seconds(r) for r in ref)
                ratio = base_s / op_s if row.get("throughput") else op_s / base_s
            else:
                # The times shown are those of the repetition with the median
                # ratio, so the row stays consistent when fsync times jump
                # between repetitions.
                middle = sorted(mine, key=lambda r: r["op/base"])[(len(mine) - 1) // 2]
                op_s, base_s = middle["op_ms"] / 1e3, middle["base_ms"] / 1e3
                ratio = middle["op/base"]
                adjusted = [r["op/(base+alloc2)"] for r in mine if "op/(base+alloc2)" in r]
                if adjusted and row.get("time_target") is None:
                    notes.append((row["op"], size, statistics.median(adjusted)))
            label = row["op"] + (" (throughput)" if row.get("throughput") else "")
            table.append([label, row["base"], fmt_size(size), fmt_time(op_s), fmt_time(base_s)]
                         + time_cells(row, ratio, size)
                         + heap_cells(row, peak(mine), size))
    return table, notes


def markdown(header, rows):
    widths = [max(len(str(c)) for c in col) for col in zip(header, *rows)]
    line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
    out = [line(header), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    return "\n".join(out + [line(r) for r in rows])


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def memory():
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    return f"{int(line.split()[1]) / (1 << 20):.1f} GiB memory"
    except OSError:
        pass
    return "unknown memory"


def filesystem(path):
    """The type and device of the mount holding `path` (longest mount prefix)."""
    best = ("", "?", "?")
    try:
        path = os.path.realpath(path)
        with open("/proc/mounts") as f:
            for line in f:
                dev, mnt, fstype = line.split()[:3]
                inside = path == mnt or path.startswith(mnt.rstrip("/") + "/")
                if inside and len(mnt) >= len(best[0]):
                    best = (mnt, fstype, dev)
    except OSError:
        pass
    return f"{best[1]} on {best[2]}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scratch", default=os.environ.get("TMPDIR") or "/tmp")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    runs, context = load(args.files)
    if not runs:
        sys.exit("report.py: no benchmark results in " + " ".join(args.files))
    reps = max(len(v) for v in runs.values())
    load_avg = context.get("load_avg") or []
    try:
        started = datetime.datetime.fromisoformat(context["date"]).astimezone(
            datetime.timezone.utc)
    except (KeyError, ValueError):
        started = datetime.datetime.now(datetime.timezone.utc)

    print(f"Machine: {cpu_model()}, {os.cpu_count()} cores, {memory()}, "
          f"Linux {platform.release()}")
    print(f"Files: {args.scratch} ({filesystem(args.scratch)}); "
          f"run started {started:%Y-%m-%d %H:%M} UTC"
          + (f"; load average at start: {load_avg[0]:.2f}" if load_avg else ""))
    print()
    header = ["Operation", "Baseline (same run)", "Bitmap", "Op time", "Baseline time", "Ratio",
              "Time target", "Status", "Peak heap", "Heap target", "Status"]
    table, notes = build_rows(runs)
    print(markdown(header, table))
    text = (f"All figures are medians of {reps} repetitions, run interleaved at random: "
            "these machines are noisy, fsync times above all. "
            "Ratio: operation time / baseline time; for the merges memcpy time / merge "
            "time, i.e. throughput against memcpy. DoBitmapFormalities, GetBitMap and "
            "DoBitmapDump ran alternately with their baseline (medians over the runs of each "
            "repetition); their rows show the repetition with the median ratio. The log-level "
            "rows compare "
            "DoBitmapFormalities with itself at log level 0 (no lines at all). Time targets "
            f"are checked from {fmt_size(TIME_TARGET_FROM)} up; peak heap (the largest seen) "
            "is the most the operation held at once, as a multiple of the bitmap size.")
    if notes:
        largest = max(size for _, size, _ in notes)
        adjusted = ", ".join(f"{op} {value:.2f}" for op, size, value in notes if size == largest)
        text += (" GetBitMap and DoBitmapDump have no time target; their floor leaves out the "
                 "two fresh bitmap buffers they must allocate and fill. Against floor + "
                 f"allocating two bitmaps, at {fmt_size(largest)}: {adjusted}.")
    print()
    print(textwrap.fill(text, width=100))


if __name__ == "__main__":
    main()
