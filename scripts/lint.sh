#!/usr/bin/env bash
# Format and static-analysis gates: clang-format (no diff), clang-tidy on the
# library and the stand-ins, cppcheck on src/ and platform/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh clang-format clang-tidy cppcheck
dir=build-lint
cmake -S . -B "$dir" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DKQ_BUILD_BENCH=OFF >/dev/null

echo "== clang-format"
mapfile -t files < <(git ls-files '*.h' '*.cpp')
clang-format --dry-run --Werror "${files[@]}"

echo "== clang-tidy"
mapfile -t sources < <(git ls-files 'src/*.cpp' 'platform/*.cpp')
clang-tidy -p "$dir" --quiet "${sources[@]}"

echo "== cppcheck"
cppcheck --std=c++17 --language=c++ --error-exitcode=1 --inline-suppr --quiet \
  --enable=warning,performance,portability \
  -I include -I src -I platform/kqlib/include -I platform/kqvolume/include \
  -I platform/replication/include src platform
echo "lint clean"
