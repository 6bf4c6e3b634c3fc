#!/usr/bin/env bash
# Sets up, builds and runs the demo job against the simulated driver.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)"
if [ -x build/tools/kqdemo ]; then
  exec build/tools/kqdemo "$@"
fi
exec build/examples/kq_name_example "$@"
