#!/usr/bin/env bash
# Builds the benchmarks in Release, runs every bench/bench_* program and prints
# one table of ratios against the baselines each measured in the same run,
# with the targets and peak heap per operation, and the machine it ran on.
#
#   scripts/bench.sh                       4 KiB, 1 MiB and 64 MiB bitmaps
#   KQ_BENCH_LARGE=1 scripts/bench.sh      also 256 MiB and 1 GiB (about 8 GiB of memory)
#   scripts/bench.sh --benchmark_filter=Save   what the filter selects, with its baselines
#   scripts/bench.sh --scale Formalities [--plot]
#       one operation from 4 KiB to 1 GiB: per size its ratio to the floor, its
#       cost per byte relative to 64 MiB, the spread of its repetitions and its
#       peak heap; --plot also draws the ratio against the size (gnuplot, SVG
#       next to the JSON results). Operations: Formalities, GetBitMap, Dump,
#       SaveBMToFile, ReadBMFromFile, MergeBM, MergeBMFromOffset.
#   scripts/bench.sh --sparse [--plot] [--before REV]
#       formalities, GetBitMap and the dump at 64 MiB, 256 MiB and 1 GiB, with
#       every page and with 2% of pages changed: ratios to the dense and cold
#       floors (min–max), bytes written, disk blocks of the saved file, peak
#       resident memory; --plot draws the ratios (PNG next to the JSON
#       results). --before REV also builds revision REV's library with these
#       benchmarks in a scratch tree and runs it alternately with this one, a
#       repetition each, for a before/after column.
#
# Other arguments go to every program. KQ_BENCH_REPETITIONS (default 5) sets
# the repetitions the medians are taken over; KQ_BENCH_SIZES (such as
# "4K,64M,1G") the bitmap sizes; KQ_BENCH_BUILD (default build-bench) the build
# tree. The JSON results stay in the build tree's bench-results/; files are
# written under $TMPDIR or /tmp.
set -euo pipefail
cd "$(dirname "$0")/.."

filter="" scale="" plot=0 sparse=0 before="" pass=()
while [ $# -gt 0 ]; do
  case $1 in
    --scale) scale=${2:?--scale needs an operation}; shift 2 ;;
    --scale=*) scale=${1#*=}; shift ;;
    --plot) plot=1; shift ;;
    --sparse) sparse=1; shift ;;
    --before) before=${2:?--before needs a revision}; shift 2 ;;
    --before=*) before=${1#*=}; shift ;;
    --benchmark_filter=*) filter=${1#*=}; shift ;;
    *) pass+=("$1"); shift ;;
  esac
done
[ -n "$scale" ] || [ $sparse -eq 1 ] || [ $plot -eq 0 ] ||
  { echo "--plot goes with --scale or --sparse" >&2; exit 2; }
[ -z "$before" ] || [ $sparse -eq 1 ] || { echo "--before goes with --sparse" >&2; exit 2; }
[ -z "$scale" ] || export KQ_BENCH_SIZES=${KQ_BENCH_SIZES:-4K,64K,1M,16M,64M,256M,512M,1G}
if [ $sparse -eq 1 ]; then
  export KQ_BENCH_SIZES=${KQ_BENCH_SIZES:-64M,256M,1G}
  filter='^BM_(Formalities|GetBitMap|Dump)(Sparse)?/'
fi

extra=()
command -v python3 >/dev/null 2>&1 || extra+=(python3)
[ $plot -eq 0 ] || extra+=(gnuplot-nox)
scripts/deps.sh "${extra[@]}"

dir=${KQ_BENCH_BUILD:-build-bench}
reps=${KQ_BENCH_REPETITIONS:-5}
build() {
  cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKQ_BUILD_TESTS=OFF \
    -DKQ_BUILD_TOOLS=OFF -DKQ_BUILD_BENCH=ON >/dev/null
  cmake --build "$2" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
}
build . "$dir"
old=""
if [ -n "$before" ]; then
  # The older library with today's benchmarks, so both measure the same things.
  old=$(mktemp -d "${TMPDIR:-/tmp}/kqbench-before.XXXXXX")
  trap 'rm -rf "$old"' EXIT
  git archive "$before" | tar -x -C "$old"
  rm -rf "$old/bench" && cp -r bench "$old/bench"
  echo "building $before in $old ..." >&2
  build "$old" "$old/build"
fi

out="$dir/bench-results"
rm -rf "$out"
mkdir -p "$out"
results=()
for prog in "$dir"/bench/bench_*; do
  [[ -f $prog && -x $prog ]] || continue
  name=$(basename "$prog")
  # A filter keeps the baselines of what it selects, or the ratios could not be made.
  selected=$("$prog" --benchmark_list_tests |
    python3 bench/report.py --select "$filter" ${scale:+--scale "$scale"})
  [ -n "$selected" ] || continue
  run() {
    "$1" --benchmark_format=json --benchmark_out="$2" --benchmark_out_format=json \
      --benchmark_repetitions="$3" --benchmark_enable_random_interleaving=true \
      --benchmark_filter="$selected" "${pass[@]}" >/dev/null
  }
  if [ -z "$old" ]; then
    echo "running $name ..." >&2
    run "$prog" "$out/$name.json" "$reps"
    results+=("$out/$name.json")
    continue
  fi
  # One repetition of each in turn, so both see the machine's same moods.
  mkdir -p "$out/before"
  for ((r = 1; r <= reps; r++)); do
    echo "running $name and $before's, repetition $r of $reps ..." >&2
    run "$prog" "$out/$name.$r.json" 1
    results+=("$out/$name.$r.json")
    [ ! -x "$old/build/bench/$name" ] || run "$old/build/bench/$name" "$out/before/$name.$r.json" 1
  done
done
[ ${#results[@]} -gt 0 ] || { echo "no benchmark selected in $dir/bench" >&2; exit 1; }
args=(--scratch "${TMPDIR:-/tmp}")
[ -z "$scale" ] || args+=(--scale "$scale")
[ $sparse -eq 0 ] || args+=(--sparse)
for f in "$out"/before/*.json; do [ ! -f "$f" ] || args+=(--before "$f"); done
[ $plot -eq 0 ] || [ -z "$scale" ] || args+=(--plot "$out/scale-$scale.svg")
[ $plot -eq 0 ] || [ $sparse -eq 0 ] || args+=(--plot "$out/sparse.png")
python3 bench/report.py "${args[@]}" "${results[@]}"
