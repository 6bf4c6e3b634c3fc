#!/usr/bin/env bash
# Runs the programs whose output README.md and docs/ show, and checks each
# output block against what they print (tests/docs/check-excerpt.sh).
#   tests/docs/excerpts.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 src=$2
check=$src/tests/docs/check-excerpt.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/kqexcerpts.XXXXXX")
trap 'rm -rf "$work"' EXIT
demo=$build/tools/kqdemo bitmap=$build/tools/kqbitmap
failed=0
expect() {  # DOC NAME [FROM=TO...] < output
  "$check" "$@" || failed=1
}

# The demo's default run, in a scratch directory shown as /tmp/kqdemo.X.
"$demo" --dir "$work/demo" >"$work/demo.out"
expect "$src/docs/tools.md" demo "$work/demo=/tmp/kqdemo.X" <"$work/demo.out"
"$bitmap" show "$work/demo/.demo1_restart" --block-size 4096 |
  expect "$src/docs/tools.md" show "$work/demo=/tmp/kqdemo.X"
"$bitmap" show --json --block-size 4096 "$work/demo/.demo1_restart" |
  expect "$src/docs/tools.md" show-json "$work/demo=/tmp/kqdemo.X"
# A larger volume for the map: the demo's backup file after 60 writes.
"$demo" --dir "$work/big" --volume-size 64M --writes 60 >/dev/null
"$bitmap" map "$work/big/.demo1_backup" --block-size 4096 --rows 4 |
  expect "$src/docs/tools.md" map "$work/big=/tmp/kqdemo.Y"
"$bitmap" --help | expect "$src/docs/tools.md" kqbitmap-help
"$build/examples/kqbackup" --help | expect "$src/docs/tools.md" kqbackup-help
"$src/scripts/restore-check.sh" --help | expect "$src/docs/tools.md" restore-check-help
exit $failed
