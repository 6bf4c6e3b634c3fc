#!/usr/bin/env bash
# Uses the Debian packages as a user would: builds them (scripts/package.sh),
# checks them with lintian, installs them with apt-get, builds the README's
# example job outside the source tree against them (CMake package, then
# pkg-config) and runs it on the simulated driver, runs kqbitmap and finds its
# man page, then purges the packages and checks that none of their files is
# left. Installs and removes packages: run as root (or with sudo).
#
# Lintian warnings kept (errors fail the check):
#   initial-upload-closes-no-bugs          the changelog closes no Debian bug: these
#                                          packages are not uploaded to Debian
#   maintscript-calls-ldconfig             CPack writes postinst/postrm calling ldconfig
#                                          for libraries in /usr/lib; the packages also
#                                          carry the ldconfig trigger Debian wants
#   package-name-doesnt-match-sonames,     the stand-ins are one package for the three
#   link-to-shared-library-in-wrong-package  outside libraries, link libraries included
set -euo pipefail
cd "$(dirname "$0")/.."
exec </dev/null
scripts/deps.sh lintian man-db
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
debs=$PWD/build-deb/debs
scripts/package.sh "$debs" >/dev/null
mapfile -t files < <(printf '%s\n' "$debs"/*.deb)
packages=()
for f in "${files[@]}"; do packages+=("$(dpkg-deb -f "$f" Package)"); done
version=$(dpkg-deb -f "$debs"/kqbitmap_*.deb Version)
echo "== packages: ${packages[*]} ($version)"

echo "== lintian"
rc=0
lintian --fail-on error "${files[@]}" >"$debs/lintian.txt" 2>&1 || rc=$?
grep -v 'running with root privileges' "$debs/lintian.txt" || true
[ $rc -eq 0 ] || { echo "lintian reports errors"; exit 1; }

work=$(mktemp -d)
purge() { $sudo apt-get purge -y -qq "${packages[@]}" >/dev/null 2>&1 || true; }
trap 'purge; rm -rf "$work"' EXIT
purge
# Every path the packages hold that is not on the machine yet must be gone after the purge.
for f in "${files[@]}"; do dpkg-deb -c "$f"; done | awk '{print substr($6, 2)}' | sed 's|/$||' |
  sort -u | while read -r path; do
    [ -n "$path" ] && [ ! -e "$path" ] && [ ! -L "$path" ] && echo "$path"
  done >"$work/new-paths"

echo "== install"
$sudo apt-get install -y -qq --no-install-recommends "${files[@]}" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; exit 1; }
for lib in /usr/lib/*/libkqbitmapops.so.1 /usr/lib/*/libKqLib.so.1 /usr/bin/kqbitmap; do
  if readelf -d "$lib" | grep -qE 'RPATH|RUNPATH'; then echo "$lib has a library search path"; exit 1; fi
done

echo "== the README's example job, built against the installed packages"
cp -r tests/package/consumer "$work/src"
cmake -S "$work/src" -B "$work/cmake" -G Ninja -DKQ_README="$PWD/README.md" >/dev/null
cmake --build "$work/cmake" >/dev/null
run_job() {  # the job's last line says how many blocks it backed up; its log goes to a file
  if ! (cd "$work" && TMPDIR=$work "$1" 2>"$work/job.log" | tail -1 | grep -qx "2 blocks backed up")
  then
    cat "$work/job.log"
    echo "$1 did not back up the 2 changed blocks"
    exit 1
  fi
  echo "$1: 2 blocks backed up"
}
run_job "$work/cmake/consumer"
# shellcheck disable=SC2046  # pkg-config's flags are meant to split
c++ -std=c++17 -I"$work/cmake" "$work/src/consumer.cpp" -o "$work/pc-consumer" \
  $(pkg-config --cflags --libs kqbitmapops)
run_job "$work/pc-consumer"

echo "== kqbitmap"
kqbitmap --version | grep -x "kqbitmap (kqbitmapops) ${version%-*}"
man -w kqbitmap
printf '\x5a\x0f\x00\x00\x80' >"$work/bitmap"
kqbitmap map --ascii "$work/bitmap" | grep -x "           0 @@@@...........................@"

echo "== purge"
purge
left=0
while read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then echo "left behind: $path"; left=1; fi
done <"$work/new-paths"
[ $left -eq 0 ] || exit 1
echo "package check passed: $(wc -l <"$work/new-paths") paths installed and removed"
