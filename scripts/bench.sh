#!/usr/bin/env bash
# Builds the benchmarks in Release, runs every bench/bench_* program and prints
# one table of ratios against the baselines each measured in the same run,
# with the targets and peak heap per operation, and the machine it ran on.
#
#   scripts/bench.sh                       4 KiB, 1 MiB and 64 MiB bitmaps
#   KQ_BENCH_LARGE=1 scripts/bench.sh      also 256 MiB and 1 GiB (about 8 GiB of memory)
#   scripts/bench.sh --benchmark_filter=Merge   extra arguments go to every program
#
# KQ_BENCH_REPETITIONS (default 5) sets the repetitions the medians are taken
# over; KQ_BENCH_BUILD (default build-bench) the build tree. The JSON results
# stay in the build tree's bench-results/; files are written under $TMPDIR or /tmp.
set -euo pipefail
cd "$(dirname "$0")/.."

extra=()
command -v python3 >/dev/null 2>&1 || extra+=(python3)
scripts/deps.sh "${extra[@]}"

dir=${KQ_BENCH_BUILD:-build-bench}
reps=${KQ_BENCH_REPETITIONS:-5}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKQ_BUILD_TESTS=OFF \
  -DKQ_BUILD_TOOLS=OFF -DKQ_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

out="$dir/bench-results"
rm -rf "$out"
mkdir -p "$out"
results=()
for prog in "$dir"/bench/bench_*; do
  [[ -f $prog && -x $prog ]] || continue
  name=$(basename "$prog")
  echo "running $name ..." >&2
  "$prog" --benchmark_format=json --benchmark_out="$out/$name.json" \
    --benchmark_out_format=json --benchmark_repetitions="$reps" \
    --benchmark_enable_random_interleaving=true "$@" >/dev/null
  results+=("$out/$name.json")
done
[ ${#results[@]} -gt 0 ] || { echo "no benchmark programs in $dir/bench" >&2; exit 1; }
python3 bench/report.py --scratch "${TMPDIR:-/tmp}" "${results[@]}"
