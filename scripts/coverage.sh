#!/usr/bin/env bash
# Builds with coverage, runs the tests, prints the gcovr summary of the library's source.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh gcovr
dir=build-coverage
cmake -S . -B "$dir" -G Ninja -DKQ_COVERAGE=ON -DCMAKE_BUILD_TYPE=Debug -DKQ_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)"
find "$dir" -name '*.gcda' -delete
ctest --test-dir "$dir" -j "$(nproc 2>/dev/null || echo 2)" --output-on-failure >/dev/null
gcovr --root . --filter 'src/' --exclude-unreachable-branches --exclude-throw-branches \
  --print-summary "${@}" "$dir"
