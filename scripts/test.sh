#!/usr/bin/env bash
# Sets up, builds and runs every test: once plainly, once with AddressSanitizer
# and UndefinedBehaviorSanitizer. Fails on any test failure or sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {  # build-dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DKQ_BUILD_BENCH=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
}

echo "== tests"
run_suite build
echo "== tests with AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-sanitize -DKQ_SANITIZE="address;undefined" -DCMAKE_BUILD_TYPE=Debug
echo "all tests passed"
