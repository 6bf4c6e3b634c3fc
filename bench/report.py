#!/usr/bin/env python3
"""Turns the JSON output of the bench/bench_* programs into one table of
ratios against the baselines measured in the same run, with the targets and
the peak heap use per operation. Run by scripts/bench.sh:

    report.py [--scratch DIR] bench_filestore.json bench_formalities.json ...
    report.py --scale OP [--plot FILE.svg] bench_formalities.json ...
        one operation across bitmap sizes: ratio to its floor, cost per byte
        relative to 64 MiB, spread of the repetitions, peak heap
    report.py --sparse [--plot FILE.png] [--before OLD.json ...] bench_formalities.json ...
        formalities, GetBitMap and the dump with every page and with 2% of
        pages changed: ratios to the dense and the cold floor (min–max over
        the repetitions), bytes written, disk blocks of the saved file, peak
        resident memory; with --before, the same benchmarks of an older
        library run beside them
    prog --benchmark_list_tests | report.py --select FILTER [--scale OP]
        the Google Benchmark filter that runs what FILTER (or OP) selects
        together with the baselines those are compared against

Every figure is a median over the repetitions of a run (peak heap: the
largest seen; alternating op/baseline runs: the repetition with the median ratio). The table is Markdown, readable as it is in a terminal.
"""
import argparse
import datetime
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import textwrap

KIB, MIB, GIB = 1 << 10, 1 << 20, 1 << 30
TIME_TARGET_FROM = 64 * MIB  # the time targets are stated for 64 MiB bitmaps and up
REFERENCE_SIZE = 64 * MIB  # the scale mode's per-byte costs are relative to this size
PER_BYTE_LIMIT, SPREAD_LIMIT = 1.25, 1.3


# How each row is measured. kind "pair": two benchmarks of the same size in
# the filestore program, compared by their median times; "paired": one
# benchmark that ran the operation alternately with its baseline and carries
# both medians and their ratio in its counters. time_target applies from
# TIME_TARGET_FROM up, unless time_target_by_size names a stricter one from a
# larger size on. scale_targets: above 64 MiB the per-byte cost must stay
# within PER_BYTE_LIMIT of that at 64 MiB, and the spread under SPREAD_LIMIT.
ROWS = [
    dict(op="MergeBM", base="memcpy", kind="pair", bench="BM_MergeBM", ref="BM_Memcpy",
         throughput=True, time_target=(">=", 0.8), heap_target="nocopy"),
    dict(op="MergeBMFromOffset", base="memcpy", kind="pair", bench="BM_MergeBMFromOffset",
         ref="BM_Memcpy", throughput=True, time_target=(">=", 0.8), heap_target="nocopy"),
    dict(op="SaveBMToFile", base="write+fsync", kind="pair", bench="BM_SaveBMToFile",
         ref="BM_PlainWriteFsync", time_target=("<=", 1.15), heap_target="nocopy"),
    dict(op="ReadBMFromFile", base="read", kind="pair", bench="BM_ReadBMFromFile",
         ref="BM_PlainRead", time_target=("<=", 1.15), heap_target="nocopy"),
    dict(op="DoBitmapFormalities", base="read + 2 x (write+fsync+rename)", kind="paired",
         bench="BM_Formalities", time_target=("<=", 1.10), heap_target=1,
         time_target_by_size={256 * MIB: ("<=", 1.00)}),
    dict(op="GetBitMap", base="read", kind="paired", bench="BM_GetBitMap", heap_target=1,
         scale_targets=True),
    dict(op="DoBitmapDump", base="read + write+fsync+rename", kind="paired", bench="BM_Dump",
         heap_target=1, scale_targets=True),
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
    # The streaming buffer (up to 1 MiB) and the call's small allocations.
    ok = used <= target * size + MIB + 16 * KIB
    return [shown, f"≤ {target}× + 1 MiB + 16 KiB", "met" if ok else "MISSED"]


def time_target(row, size):
    if row.get("time_target") is None or size < TIME_TARGET_FROM:
        return None
    stricter = [(s, t) for s, t in row.get("time_target_by_size", {}).items() if size >= s]
    return max(stricter)[1] if stricter else row["time_target"]


def time_cells(row, ratio, size):
    target = time_target(row, size)
    if target is None:
        return [f"{ratio:.2f}", "—", ""]
    sign, limit = target
    ok = ratio >= limit if sign == ">=" else ratio <= limit
    # One more digit where two would hide which side of the target it fell on.
    shown = f"{ratio:.3f}" if f"{ratio:.2f}" == f"{limit:.2f}" else f"{ratio:.2f}"
    return [shown, f"{'≥' if sign == '>=' else '≤'} {limit}", "met" if ok else "MISSED"]


def figures(row, runs, size):
    """The operation's time, its baseline's and their ratio at one size, and
    the operation's time in each repetition; None when either is missing."""
    mine = runs.get((row["bench"], size))
    if not mine:
        return None
    if row["kind"] == "pair":
        ref = runs.get((row["ref"], size))
        if not ref:
            return None
        each = [seconds(r) for r in mine]
        base_each = [seconds(r) for r in ref]
        op_s = statistics.median(each)
        base_s = statistics.median(base_each)
        ratio = base_s / op_s if row.get("throughput") else op_s / base_s
    else:
        # The times shown are those of the repetition with the median
        # ratio, so the row stays consistent when fsync times jump
        # between repetitions.
        middle = sorted(mine, key=lambda r: r["op/base"])[(len(mine) - 1) // 2]
        op_s, base_s = middle["op_ms"] / 1e3, middle["base_ms"] / 1e3
        ratio = middle["op/base"]
        each = [r["op_ms"] / 1e3 for r in mine]
        base_each = [r["base_ms"] / 1e3 for r in mine]
    return dict(op_s=op_s, base_s=base_s, ratio=ratio, each=each, base_each=base_each,
                peak=peak(mine))


def build_rows(runs):
    sizes = sorted({size for (_, size) in runs})
    table, notes = [], []
    for row in ROWS:
        for size in sizes:
            fig = figures(row, runs, size)
            if fig is None:
                continue
            adjusted = [r["op/cold"] for r in runs[(row["bench"], size)] if "op/cold" in r]
            if adjusted and row.get("time_target") is None:
                notes.append((row["op"], size, statistics.median(adjusted)))
            label = row["op"] + (" (throughput)" if row.get("throughput") else "")
            table.append([label, row["base"], fmt_size(size), fmt_time(fig["op_s"]),
                          fmt_time(fig["base_s"])]
                         + time_cells(row, fig["ratio"], size)
                         + heap_cells(row, fig["peak"], size))
    return table, notes


def find_row(name):
    """The row an operation name (DoBitmapFormalities) or benchmark name
    (BM_Formalities, Formalities) stands for."""
    key = name.lower().removeprefix("bm_")
    for row in ROWS:
        if key in (row["op"].lower(), row["bench"].lower().removeprefix("bm_")):
            return row
    names = ", ".join(r["bench"].removeprefix("BM_") for r in ROWS)
    sys.exit(f"report.py: no operation {name!r}; one of {names}")


def select(names, pattern, scale):
    """A filter for one program that runs the benchmarks `pattern` (Google
    Benchmark's, a leading "-" negates) or the `scale` operation selects,
    with the baselines they are compared against."""
    if scale:
        pattern = "^" + re.escape(find_row(scale)["bench"]) + "/"
    negate = pattern.startswith("-")
    regex = re.compile(pattern[1:] if negate else pattern)
    chosen = {n for n in names if bool(regex.search(n)) != negate}
    refs = {row["bench"]: row["ref"] for row in ROWS if row["kind"] == "pair"}
    for name in list(chosen):
        family, _, rest = name.partition("/")
        if family in refs:
            chosen |= {n for n in names if n == refs[family] + "/" + rest}
    return "^(" + "|".join(re.escape(n) for n in sorted(chosen)) + ")$" if chosen else ""


def scale_rows(row, runs):
    """One line per size for the scale mode, and the points of the plot."""
    sizes = sorted(size for (bench, size) in runs if bench == row["bench"])
    got = {size: figures(row, runs, size) for size in sizes}
    got = {size: fig for size, fig in got.items() if fig is not None}
    typical = {size: statistics.median(fig["each"]) for size, fig in got.items()}
    ref = typical.get(REFERENCE_SIZE)
    table, points = [], []
    for size, fig in got.items():
        per_byte = (typical[size] / size) / (ref / REFERENCE_SIZE) if ref else None
        spread = max(fig["each"]) / min(fig["each"]) if min(fig["each"]) > 0 else None
        base = fig["base_each"]
        base_spread = max(base) / min(base) if base and min(base) > 0 else None
        checks = []
        if row.get("scale_targets") and size > REFERENCE_SIZE:
            if per_byte is not None:
                checks.append(per_byte <= PER_BYTE_LIMIT)
            if spread is not None:
                checks.append(spread < SPREAD_LIMIT)
        target = time_target(row, size)
        if target is not None:
            checks.append(fig["ratio"] >= target[1] if target[0] == ">=" else
                          fig["ratio"] <= target[1])
        peak_cells = heap_cells(row, fig["peak"], size)
        if peak_cells[2]:
            checks.append(peak_cells[2] == "met")
        table.append([fmt_size(size), fmt_time(fig["op_s"]), fmt_time(fig["base_s"]),
                      f"{fig['ratio']:.2f}", "—" if per_byte is None else f"{per_byte:.2f}",
                      "—" if spread is None else f"{spread:.2f}",
                      "—" if base_spread is None else f"{base_spread:.2f}", peak_cells[0],
                      "" if not checks else "met" if all(checks) else "MISSED"])
        points.append((size, fig["ratio"], per_byte))
    return table, points


def plot(path, row, points, title):
    """Ratio (and per-byte cost) against size, as SVG (PNG for a .png path), by gnuplot."""
    data = "\n".join(f"{size} {ratio} {'NaN' if per is None else per} "
                     f"\"{fmt_size(size).replace(' ', '').replace('iB', '')}\""
                     for size, ratio, per in points)
    ratio_name = "memcpy / op throughput" if row.get("throughput") else "op time / floor time"
    terminal = "pngcairo size 900,520" if path.endswith(".png") else "svg size 900,520 dynamic"
    script = f"""set terminal {terminal} enhanced font "sans,12"
set output "{path}"
set title "{title}" noenhanced
set logscale x 2
set xlabel "bitmap size"
set ylabel "ratio (log scale)"
set logscale y 2
set grid
set key top left
set offsets graph 0.04, graph 0.04, 0, 0
$d << EOD
{data}
EOD
plot $d using 1:2:xtic(4) with linespoints lw 2 pt 7 title "{ratio_name}", \\
     $d using 1:3 with linespoints lw 2 pt 5 \\
       title "cost per byte / at {fmt_size(REFERENCE_SIZE)}", \\
     1 with lines dt 2 lc "gray" notitle
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


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


# The sparse mode: each operation with every page changed (its dense family)
# and with 2% changed (the family with "Sparse" appended), against the same
# dense floors.
SPARSE_OPS = [("DoBitmapFormalities", "BM_Formalities"), ("GetBitMap", "BM_GetBitMap"),
              ("DoBitmapDump", "BM_Dump")]
DENSITIES = [("every page", ""), ("2% of pages", "Sparse")]
SPARSE_SIZE, SPARSE_RATIO, SPARSE_BLOCKS = GIB, 0.40, 0.05
COLD_LIMIT, RESIDENT_LIMIT = 1.05, 1.05


def spread(values, digits=2):
    """'median (min–max)' of the repetitions' values."""
    if not values:
        return "—", None
    med = statistics.median(values)
    shown = f"{med:.{digits}f}"
    if len(values) > 1:
        shown += f" ({min(values):.{digits}f}–{max(values):.{digits}f})"
    return shown, med


def sparse_rows(runs, before):
    """The table of the sparse mode, its notes on missed targets, and the
    points of its plot: {(op, density): [(size, median, min, max)]}."""
    sizes = sorted({size for (bench, size) in runs
                    if any(bench == b + d for _, b in SPARSE_OPS for _, d in DENSITIES)})
    table, points, missed = [], {}, []
    for op, bench in SPARSE_OPS:
        for density, suffix in DENSITIES:
            for size in sizes:
                mine = runs.get((bench + suffix, size))
                if not mine:
                    continue
                ratio = [r["op/base"] for r in mine]
                cold = [r["op/cold"] for r in mine if "op/cold" in r]
                old = [r["op/base"] for r in before.get((bench + suffix, size), [])]
                blocks = [r["blocks/dense"] for r in mine if "blocks/dense" in r]
                resident = max((r["rss/bitmap"] for r in mine if "rss/bitmap" in r), default=None)
                written = statistics.median(r["written/bitmap"] for r in mine)
                ratio_cell, ratio_med = spread(ratio)
                cold_cell, cold_med = spread(cold)
                old_cell, old_med = spread(old)
                blocks_cell, blocks_med = spread(blocks, 3)
                checks = []
                if resident is not None and size >= TIME_TARGET_FROM:
                    checks.append((resident <= RESIDENT_LIMIT, f"peak ≤ {RESIDENT_LIMIT} bitmaps"))
                if suffix and size == SPARSE_SIZE and bench == "BM_Formalities":
                    checks.append((ratio_med <= SPARSE_RATIO, f"≤ {SPARSE_RATIO} of floor"))
                    if blocks_med is not None:
                        checks.append((blocks_med <= SPARSE_BLOCKS, f"file ≤ {SPARSE_BLOCKS:.0%}"))
                if not suffix and old_med is not None:
                    checks.append((ratio_med <= old_med, "no slower than before"))
                if not suffix and size == SPARSE_SIZE and cold_med is not None:
                    checks.append((cold_med <= COLD_LIMIT, f"≤ {COLD_LIMIT} of cold floor"))
                failed = [what for ok, what in checks if not ok]
                missed += [f"{op}, {density}, {fmt_size(size)}: {what}" for what in failed]
                status = "" if not checks else "met" if not failed else "MISSED"
                table.append([op, density, fmt_size(size),
                              fmt_time(statistics.median(r["op_ms"] for r in mine) / 1e3),
                              fmt_time(statistics.median(r["base_ms"] for r in mine) / 1e3),
                              ratio_cell, cold_cell, old_cell, f"{written:.3f}", blocks_cell,
                              "—" if resident is None else f"{resident:.2f}", status])
                points.setdefault((op, density), []).append(
                    (size, ratio_med, min(ratio), max(ratio)))
                if not suffix and cold:
                    floors = [r["op/base"] / r["op/cold"] for r in mine if "op/cold" in r]
                    points.setdefault((op, "cold floor"), []).append(
                        (size, statistics.median(floors), None, None))
                if old:
                    points.setdefault((op, density + ", before"), []).append(
                        (size, old_med, min(old), max(old)))
    return table, points, missed


def sparse_plot(path, points, title):
    """Op time over dense floor against bitmap size, one panel per operation
    with a line per kind of bitmap (min–max as error bars) and the cold
    floor; by gnuplot (PNG or SVG)."""
    sizes = sorted({s for pts in points.values() for s, *_ in pts})
    tics = ", ".join(f'"{fmt_size(s)}" {s}' for s in sizes)
    terminal = ("pngcairo size 1500,640" if path.endswith(".png")
                else "svg size 1500,640 dynamic")
    style = {"every page": ('"#1f77b4"', 1, 7), "2% of pages": ('"#d62728"', 1, 5),
             "every page, before": ('"#1f77b4"', 3, 6), "2% of pages, before": ('"#d62728"', 3, 4)}
    script = [f'set terminal {terminal} enhanced font "sans,11"', f'set output "{path}"',
              f'set multiplot layout 1,3 title "{title}" noenhanced', "set logscale x 2",
              f"set xtics ({tics})", 'set xlabel "bitmap size"', "set yrange [0:*]", "set grid",
              "set key below horizontal maxcols 2 noenhanced", "set offsets graph 0.1, graph 0.1, 0, 0"]
    for i, (op, _) in enumerate(SPARSE_OPS):
        plots = []
        for kind, (color, dash, point) in style.items():
            pts = sorted(points.get((op, kind), []))
            if not pts:
                continue
            rows = "\n".join(f"{s} {m} {lo} {hi}" for s, m, lo, hi in pts)
            script.append(f"$d{i}{len(plots)} << EOD\n{rows}\nEOD")
            plots.append(f"$d{i}{len(plots)} using 1:2:3:4 with yerrorlines lw 2 dt {dash} "
                         f"pt {point} lc rgb {color} title \"{kind}\"")
        cold = sorted(points.get((op, "cold floor"), []))
        if cold:
            rows = "\n".join(f"{s} {m}" for s, m, *_ in cold)
            script.append(f"$c{i} << EOD\n{rows}\nEOD")
            plots.append(f'$c{i} using 1:2 with lines lw 1 dt 2 lc "gray40" title "cold floor"')
        plots.append('1 with lines lw 1 lc "gray60" title "dense floor"')
        if op == "DoBitmapFormalities":
            plots.append(f'{SPARSE_RATIO} with lines lw 1 dt 4 lc "black" '
                         f'title "target, 2%, {fmt_size(SPARSE_SIZE)}"')
        script.append(f'set title "{op}" noenhanced')
        script.append('set ylabel "op time / dense floor time"' if i == 0 else "unset ylabel")
        script.append("plot " + ", \\\n     ".join(plots))
    script.append("unset multiplot")
    subprocess.run(["gnuplot"], input="\n".join(script) + "\n", text=True, check=True)


def sparse_report(runs, before, reps, plot_path):
    table, points, missed = sparse_rows(runs, before)
    if not table:
        sys.exit("report.py: no results for BM_Formalities, BM_GetBitMap or BM_Dump")
    header = ["Operation", "Pages changed", "Bitmap", "Op time", "Floor time",
              "Op / dense floor", "Op / cold floor", "Before: op / dense floor",
              "Written (bitmaps)", "File blocks / dense", "Peak resident (bitmaps)", "Targets"]
    print("DoBitmapFormalities, GetBitMap and DoBitmapDump by changed pages and bitmap size")
    print()
    print(markdown(header, table))
    text = (f"Ratios: median (min–max) over {reps} repetitions run interleaved at random; in "
            "each the operation alternated with its floor and the median of its runs counts. "
            "Dense floor: the I/O of a bitmap with every page changed, by plain system calls "
            "(formalities: read the file, write, fsync and rename two of the same length; "
            "GetBitMap: read it; dump: read it, write, fsync and rename one). Cold floor: the "
            "dense floor plus allocating and touching one fresh bitmap-sized buffer (new[] and "
            "memset, small pages), the one the interface cannot avoid. 2% of pages: runs of 16 "
            "to 64 of the bitmap's 4 KiB pages, one in every 2000, the same pages in the file and "
            "the driver's bitmap. Written: bytes passed to write calls, in bitmaps (median). File "
            "blocks: the disk blocks of the saved bitmap file (formalities: the bitmap file, "
            "dump: the dump file) over those of a dense file of the same length. Peak resident: "
            "the largest rise of the resident high-water mark during one call (reset through "
            "/proc/self/clear_refs), in bitmaps. Targets: peak ≤ "
            f"{RESIDENT_LIMIT} bitmaps from {fmt_size(TIME_TARGET_FROM)}; formalities with 2% at "
            f"{fmt_size(SPARSE_SIZE)} ≤ {SPARSE_RATIO} of the dense floor and its file ≤ "
            f"{SPARSE_BLOCKS:.0%} of a dense one's blocks; every page changed: no slower than "
            "before (median ratio, where an older library ran beside it) and at "
            f"{fmt_size(SPARSE_SIZE)} ≤ {COLD_LIMIT} of the cold floor; judged on medians.")
    print()
    print(textwrap.fill(text, width=100))
    if missed:
        print("\nMissed: " + "; ".join(missed) + ".")
    if plot_path:
        sparse_plot(plot_path, points, "Against the dense I/O floor of the same run: every "
                                       "page vs 2% of pages changed (median, min-max)")
        print(f"\nplot: {plot_path}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scratch", default=os.environ.get("TMPDIR") or "/tmp")
    parser.add_argument("--select", metavar="FILTER",
                        help="print a filter for the benchmark names on stdin: those FILTER "
                             "selects (all for an empty one) with their baselines")
    parser.add_argument("--scale", metavar="OP", help="one operation across sizes")
    parser.add_argument("--sparse", action="store_true",
                        help="formalities, GetBitMap and the dump, dense and 2%% of pages")
    parser.add_argument("--before", metavar="JSON", action="append", default=[],
                        help="with --sparse: results of an older library, for comparison")
    parser.add_argument("--plot", metavar="FILE",
                        help="with --scale or --sparse: draw ratio against size "
                             "(FILE.svg or FILE.png)")
    parser.add_argument("files", nargs="*")
    args = parser.parse_args()
    if args.select is not None:
        print(select(sys.stdin.read().split(), args.select, args.scale))
        return
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
    if args.scale:
        scale_report(find_row(args.scale), runs, reps, args.plot)
        return
    if args.sparse:
        sparse_report(runs, load(args.before)[0] if args.before else {}, reps, args.plot)
        return
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
            f"are checked from {fmt_size(TIME_TARGET_FROM)} up (DoBitmapFormalities: 1.10, "
            "from 256 MiB 1.00); peak heap (the largest seen) "
            "is the most the operation held at once, as a multiple of the bitmap size.")
    if notes:
        largest = max(size for _, size, _ in notes)
        adjusted = ", ".join(f"{op} {value:.2f}" for op, size, value in notes if size == largest)
        text += (" GetBitMap and DoBitmapDump have no ratio target (their cost per byte across "
                 "sizes is checked by the scale mode); their floor leaves out the "
                 "fresh bitmap buffer they must allocate and fill. Against that cold floor "
                 f"(floor + allocating one bitmap), at {fmt_size(largest)}: {adjusted}.")
    print()
    print(textwrap.fill(text, width=100))


def scale_report(row, runs, reps, plot_path):
    table, points = scale_rows(row, runs)
    if not table:
        sys.exit(f"report.py: no results for {row['op']}")
    ratio = "Ratio (memcpy/op)" if row.get("throughput") else "Ratio (op/floor)"
    header = ["Bitmap", "Op time", "Floor time", ratio, f"Per byte vs {fmt_size(REFERENCE_SIZE)}",
              "Spread", "Floor spread", "Peak heap", "Targets"]
    print(f"{row['op']} against its floor ({row['base']}), by bitmap size")
    print()
    print(markdown(header, table))
    targets = []
    if row.get("time_target"):
        sign, limit = row["time_target"]
        targets.append(f"ratio {'≥' if sign == '>=' else '≤'} {limit} from "
                       f"{fmt_size(TIME_TARGET_FROM)}"
                       + "".join(f", {t[1]} from {fmt_size(s)}"
                                 for s, t in sorted(row.get("time_target_by_size", {}).items())))
    if row.get("scale_targets"):
        targets.append(f"above {fmt_size(REFERENCE_SIZE)} per byte ≤ {PER_BYTE_LIMIT} and spread "
                       f"< {SPREAD_LIMIT}")
    if row.get("heap_target"):
        targets.append("peak heap " + heap_cells(row, 0, 1)[1])
    text = (f"Times are medians of {reps} repetitions run interleaved at random, the "
            "operation alternating with its floor where it has one. Per byte: the operation's "
            f"time per byte over that at {fmt_size(REFERENCE_SIZE)}, 1.00 for a cost that grows "
            "in step with the size. Spread: slowest over fastest repetition of the operation "
            "(floor spread: of its floor, what the machine's own noise allows). "
            "Peak heap: the most the operation held at once, as a multiple of the bitmap. "
            "Targets: " + ("; ".join(targets) if targets else "none") + ".")
    print()
    print(textwrap.fill(text, width=100))
    if plot_path:
        plot(plot_path, row, points, f"{row['op']}: ratio against bitmap size")
        print(f"\nplot: {plot_path}")


if __name__ == "__main__":
    main()
