#!/usr/bin/env bash
# ABI guard of libkqbitmapops.so against the committed baseline abi/libkqbitmapops.abi.
#   scripts/abi.sh          compare a fresh build with the baseline; fails on an incompatible change
#   scripts/abi.sh update   rewrite the baseline from a fresh build (an intended ABI change)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh abigail-tools
dir=build-abi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKQ_BUILD_TESTS=OFF \
  -DKQ_BUILD_BENCH=OFF -DKQ_BUILD_TOOLS=OFF >/dev/null
cmake --build "$dir" --target kqbitmapops >/dev/null
lib="$dir/libkqbitmapops.so"
headers=(--headers-dir include/kqbitmapops --headers-dir platform/kqlib/include
         --headers-dir platform/kqvolume/include)
if [ "${1:-}" = update ]; then
  mkdir -p abi
  abidw "${headers[@]}" --no-corpus-path --out-file abi/libkqbitmapops.abi "$lib"
  echo "baseline written: abi/libkqbitmapops.abi"
  exit 0
fi
set +e
abidiff --headers-dir2 include/kqbitmapops --headers-dir2 platform/kqlib/include \
  --headers-dir2 platform/kqvolume/include abi/libkqbitmapops.abi "$lib"
rc=$?
set -e
# abidiff's status is a bit mask: 1 error, 2 usage, 4 ABI change, 8 incompatible change.
if (( rc & 3 )); then echo "abidiff failed to run ($rc)"; exit 1; fi
if (( rc & 8 )); then echo "INCOMPATIBLE ABI change against abi/libkqbitmapops.abi"; exit 1; fi
if (( rc & 4 )); then echo "compatible ABI change (additions); update the baseline with: scripts/abi.sh update"; fi
echo "ABI compatible with the baseline"
