#!/usr/bin/env bash
# Sets up, builds and runs the demo job against the simulated driver.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target kqdemo kqbitmap >/dev/null
exec build/tools/kqdemo "$@"
