#!/usr/bin/env bash
# Sets up, builds and runs every test, then the kill stress program: once
# plainly, once with AddressSanitizer and UndefinedBehaviorSanitizer (fewer
# kills: KQ_KILLS and KQ_SANITIZED_KILLS set the counts). Fails on any test
# failure, lost write or sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {  # build-dir, kills per workflow, extra cmake args...
  local dir=$1 kills=$2; shift 2
  cmake -S . -B "$dir" -G Ninja -DKQ_BUILD_BENCH=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
  echo "-- kill stress: $kills kills per workflow"
  "$dir/tests/kq_kill_stress" "$kills"
}

echo "== tests"
run_suite build "${KQ_KILLS:-1000}"
echo "== tests with AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-sanitize "${KQ_SANITIZED_KILLS:-200}" -DKQ_SANITIZE="address;undefined" \
  -DCMAKE_BUILD_TYPE=Debug
echo "all tests passed"
