#!/usr/bin/env bash
# Sets up, builds and runs the demo job against the simulated driver.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
# The whole tree, so that what a newcomer runs next (the tests, kqbitmap, its
# man page, cmake --install build) finds everything built.
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
exec build/tools/kqdemo "$@"
