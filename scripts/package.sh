#!/usr/bin/env bash
# Builds the Debian packages with CPack into one folder:
#   libkqbitmapops1       the shared library
#   libkqbitmapops-dev    headers, link library, CMake package, pkg-config file
#   kqbitmapops-standins  test stand-ins of the log facility, volume library
#                         (simulated driver) and replication client, in a
#                         directory of their own outside the loader's path
#   kqbitmap              the inspection tool and its man page
#
#   scripts/package.sh [DIR]    DIR defaults to build-deb/debs
# Install them with: apt install ./build-deb/debs/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh scdoc dpkg-dev file
out=$(realpath -m "${1:-build-deb/debs}")
dir=build-deb

# Debian's own build flags (optimisation, hardening), a build without its own
# optimisation defaults, installed to /usr: the library lands in the multiarch
# directory and the tool needs no search path to find it.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
# Dates in the changelog and the man page: the last commit's, so that a rebuild
# of the same commit gives the same packages.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
export SOURCE_DATE_EPOCH
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=None -DKQ_DEB=ON \
  -DKQ_BUILD_TESTS=OFF -DKQ_BUILD_BENCH=OFF -DKQ_BUILD_TOOLS=ON \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_RPATH=ON \
  -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" \
  -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" >/dev/null
cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)"
rm -rf "$dir/_CPack_Packages" "$out"
(cd "$dir" && cpack -G DEB -B "$PWD/cpack" >/dev/null)
mkdir -p "$out"
mv "$dir"/cpack/*.deb "$out"/
rm -rf "$dir/cpack"
ls -1 "$out"
