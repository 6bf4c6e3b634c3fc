#!/usr/bin/env bash
# Uses the Debian packages as a user would, on a machine made a production
# host first:
#   1. builds the packages (scripts/package.sh) and checks them with lintian;
#   2. registers copies of the stand-ins as the backup product registers its
#      libraries: a directory of its own, an ld.so.conf.d entry, ldconfig;
#   3. installs libkqbitmapops1 and kqbitmap alone and runs the tool on the
#      product's libraries;
#   4. installs libkqbitmapops-dev and kqbitmapops-standins, and checks that the
#      loader's cache and the tool still take the product's copies;
#   5. builds the example job of docs/job-guide.md outside the source tree
#      against the packages (CMake package, then pkg-config), checks that it
#      loads the stand-ins, and runs it on the simulated driver;
#   6. removes the product's copies: kqbitmap now runs on the stand-ins;
#   7. purges the packages and the product's copies, and checks that nothing
#      of either is left.
# Installs and removes packages and files under /opt and /etc/ld.so.conf.d:
# run as root (or with sudo).
#
# Lintian warnings kept (errors fail the check):
#   initial-upload-closes-no-bugs  the changelog closes no Debian bug: these
#                                  packages are not uploaded to Debian
#   maintscript-calls-ldconfig     CPack writes postinst/postrm calling ldconfig for
#                                  libkqbitmapops1; it also carries the ldconfig
#                                  trigger Debian wants
set -euo pipefail
cd "$(dirname "$0")/.."
exec </dev/null
scripts/deps.sh lintian man-db binutils
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
debs=$PWD/build-deb/debs
scripts/package.sh "$debs" >/dev/null
deb() { printf '%s\n' "$debs/$1"_*.deb; }
mapfile -t files < <(printf '%s\n' "$debs"/*.deb)
packages=()
for f in "${files[@]}"; do packages+=("$(dpkg-deb -f "$f" Package)"); done
version=$(dpkg-deb -f "$(deb kqbitmap)" Version)
echo "== packages: ${packages[*]} ($version)"

echo "== lintian"
rc=0
lintian --fail-on error "${files[@]}" >"$debs/lintian.txt" 2>&1 || rc=$?
grep -v 'running with root privileges' "$debs/lintian.txt" || true
[ $rc -eq 0 ] || { echo "lintian reports errors"; exit 1; }

outside=(libKqLib.so.1 libkqvolume.so.1 libReplicationClient.so.1)
product=/opt/kqcheck-product/lib  # where this check's stand-in product keeps its libraries
conf=/etc/ld.so.conf.d/kqcheck-product.conf
work=$(mktemp -d)
purge() { $sudo apt-get purge -y -qq "${packages[@]}" >/dev/null 2>&1 || true; }
unregister() { $sudo rm -rf "${product%/lib}" "$conf"; $sudo ldconfig; }
trap 'purge; unregister; rm -rf "$work"' EXIT
purge
unregister
# Every path the packages hold that is not on the machine yet must be gone after the purge.
for f in "${files[@]}"; do dpkg-deb -c "$f"; done | awk '{print substr($6, 2)}' | sed 's|/$||' |
  sort -u | while read -r path; do
    [ -n "$path" ] && [ ! -e "$path" ] && [ ! -L "$path" ] && echo "$path"
  done >"$work/new-paths"
printf '%s\n' "${product%/lib}" "$conf" >>"$work/new-paths"

fail() { echo "FAILED: $*"; exit 1; }
# The places the loader's cache gives for one library name.
cached() { ldconfig -p | awk -v name="$1" '$1 == name {print $NF}'; }
# The places of the outside libraries a program loaded when run with ARGS (its
# output is dropped), as the loader itself reports them.
loaded() {
  (cd "$work" && TMPDIR=$work LD_DEBUG=libs "$@" 2>&1 >/dev/null) |
    sed -n 's/.*calling init: //p' | grep -E '/lib(KqLib|kqvolume|ReplicationClient)\.so' | sort -u
}
# Every line of the input lies in directory $1; the input is not empty.
all_in() {
  local dir=$1 lines
  lines=$(cat)
  [ -n "$lines" ] && ! grep -v "^$dir/[^/]*$" <<<"$lines" >/dev/null
}

echo "== a production host: the product's libraries in $product, registered in $conf"
dpkg-deb -x "$(deb kqbitmapops-standins)" "$work/standins"
$sudo mkdir -p "$product"
$sudo cp -P "$work"/standins/usr/lib/*/kqbitmapops/standins/lib*.so.1* "$product"/
echo "$product" | $sudo tee "$conf" >/dev/null
$sudo ldconfig
for name in "${outside[@]}"; do
  cached "$name" | all_in "$product" || fail "the cache does not give $name from $product"
done

install_debs() {
  $sudo apt-get install -y -qq --no-install-recommends "$@" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; exit 1; }
}
echo "== libkqbitmapops1 and kqbitmap alone"
install_debs "$(deb libkqbitmapops1)" "$(deb kqbitmap)"
if dpkg-query -W -f='${Status}' kqbitmapops-standins 2>/dev/null | grep -q "ok installed"; then
  fail "kqbitmapops-standins came with the library or the tool"
fi
tool=/usr/libexec/kqbitmapops/kqbitmap  # what /usr/bin/kqbitmap runs
for f in /usr/lib/*/libkqbitmapops.so.1 "$tool"; do
  if readelf -d "$f" | grep -qE 'RPATH|RUNPATH'; then fail "$f has a library search path"; fi
done
# The tool asks of the outside libraries only what the library does, so any
# product's libraries serve it; the stand-ins' test interfaces are not among that.
if nm -D --undefined-only "$tool" | c++filt | grep -E 'kqlog::|kqsim::|kqrepl::'; then
  fail "kqbitmap needs the stand-ins' test interfaces"
fi
check_tool() {  # DIR: where the outside libraries the tool loads must lie
  kqbitmap --version | grep -qx "kqbitmap (kqbitmapops) ${version%-*}" || fail "kqbitmap --version"
  printf '\x5a\x0f\x00\x00\x80' >"$work/bitmap"
  kqbitmap map --ascii "$work/bitmap" | grep -qx "           0 @@@@...........................@" ||
    fail "kqbitmap map"
  kqbitmap or "$work/bitmap" "$work/bitmap" -o "$work/union" | grep -q "^wrote " || fail "kqbitmap or"
  cmp -s "$work/bitmap" "$work/union" || fail "kqbitmap or wrote the wrong union"
  # A save the library refuses: its reason comes through the product's log facility.
  local err
  err=$(kqbitmap or "$work/bitmap" "$work/bitmap" -o "$work/none/out" 2>&1 >/dev/null) && fail "or into a missing directory"
  grep -q "Failed to open the Bitmap File $work/none/out" <<<"$err" || fail "no reason given: $err"
  loaded kqbitmap map "$work/bitmap" | all_in "$1" || fail "kqbitmap did not load the libraries of $1"
  loaded kqbitmap map "$work/bitmap" | sed 's/^/  kqbitmap loads /'
}
check_tool "$product"
man -w kqbitmap >/dev/null || fail "no man page"
echo "kqbitmap runs on the product's libraries"

echo "== with libkqbitmapops-dev and kqbitmapops-standins"
install_debs "$(deb libkqbitmapops-dev)" "$(deb kqbitmapops-standins)"
for name in "${outside[@]}"; do
  cached "$name" | all_in "$product" || fail "the cache gives $name from elsewhere: $(cached "$name")"
done
check_tool "$product"
echo "the cache and kqbitmap still take the product's copies"

echo "== the example job, built against the installed packages"
standins=$(pkg-config --variable=standinsdir kqbitmapops-standins)
cp -r tests/package/consumer "$work/src"
cmake -S "$work/src" -B "$work/cmake" -G Ninja -DKQ_GUIDE="$PWD/docs/job-guide.md" >/dev/null
cmake --build "$work/cmake" >/dev/null
flags=$(pkg-config --cflags --libs kqbitmapops kqbitmapops-standins)
[[ $flags != *..* ]] || fail "pkg-config gives paths that are not canonical: $flags"
# shellcheck disable=SC2086  # pkg-config's flags are meant to split
c++ -std=c++17 "$work/cmake/job.cpp" -o "$work/pc-job" $flags
for job in "$work/cmake/job" "$work/pc-job"; do
  loaded "$job" | all_in "$standins" || fail "$job does not load the stand-ins from $standins"
  if ! (cd "$work" && TMPDIR=$work "$job" 2>"$work/job.log" | tail -1 | grep -qx "2 blocks backed up")
  then
    cat "$work/job.log"
    fail "$job did not back up the 2 changed blocks"
  fi
  echo "$job: stand-ins from $standins, 2 blocks backed up"
done

echo "== the product's copies gone: kqbitmap runs on the stand-ins"
unregister
check_tool "$standins"

echo "== purge"
purge
left=0
while read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then echo "left behind: $path"; left=1; fi
done <"$work/new-paths"
for name in "${outside[@]}"; do
  if [ -n "$(cached "$name")" ]; then echo "still in the loader's cache: $name"; left=1; fi
done
[ $left -eq 0 ] || exit 1
echo "package check passed: $(wc -l <"$work/new-paths") paths installed and removed"
