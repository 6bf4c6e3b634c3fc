#!/usr/bin/env bash
# Checks that an output excerpt in the documentation is what a program printed.
#
#   tests/docs/check-excerpt.sh DOC NAME [FROM=TO...] < OUTPUT
#
# The excerpt is the fenced block that follows "<!-- output: NAME -->" in DOC
# (indented alike, in a list, if need be).
# Its lines must be lines of OUTPUT, adjacent and in order, except that a line
# "..." stands for any number of lines and a line ending in "..." for a line
# that begins with what comes before the dots. It may start and end anywhere
# in OUTPUT. Trailing blanks are not compared. Each FROM=TO replaces the text
# FROM in OUTPUT by TO first (a temporary directory by the name the excerpt shows).
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 DOC NAME [FROM=TO...] < OUTPUT" >&2; exit 2; }
doc=$1 name=$2
shift 2
subst=$(printf '%s\n' "$@")
exec awk -v doc="$doc" -v name="$name" -v subst="$subst" '
  function rtrim(s) { sub(/[ \t]+$/, "", s); return s }
  function replace(s,   i, k, from, to, at, out) {
    for (k = 1; k <= nsub; ++k) {
      at = index(subs[k], "="); from = substr(subs[k], 1, at - 1); to = substr(subs[k], at + 1)
      if (from == "") continue
      out = ""
      while ((i = index(s, from)) > 0) { out = out substr(s, 1, i - 1) to; s = substr(s, i + length(from)) }
      s = out s
    }
    return s
  }
  # Does excerpt line e stand for output line o?
  function same(e, o,   stem) {
    if (e ~ /\.\.\.$/) { stem = substr(e, 1, length(e) - 3); return substr(o, 1, length(stem)) == stem }
    return e == o
  }
  BEGIN {
    nsub = subst == "" ? 0 : split(subst, subs, "\n")
    state = 0; n = 0
    # The block may be indented (in a list): the indentation of its fence is not compared.
    while ((getline line < doc) > 0) {
      bare = line; sub(/^[ \t]+/, "", bare)
      if (state == 0 && bare == "<!-- output: " name " -->") { state = 1; continue }
      if (state == 1) {
        if (bare ~ /^```/) { state = 2; indent = length(line) - length(bare) }
        else if (bare != "") break
        continue
      }
      if (state == 2) {
        if (bare ~ /^```/) { state = 3; break }
        if (substr(line, 1, indent) ~ /^[ \t]*$/) line = substr(line, indent + 1)
        E[++n] = rtrim(line)
      }
    }
    if (state != 3 || n == 0) { printf "%s: no output block \"%s\"\n", doc, name > "/dev/stderr"; exit 2 }
  }
  { O[++m] = rtrim(replace($0)) }
  END {
    if (state != 3) exit 2
    # Segments between "..." lines, each matched at its earliest place after the one before.
    j = 1; i = 1
    while (i <= n) {
      if (E[i] ~ /^[ \t]*\.\.\.$/) { ++i; continue }
      for (k = i; k <= n && E[k] !~ /^[ \t]*\.\.\.$/; ++k) {}
      found = 0
      for (at = j; at + (k - i) - 1 <= m && !found; ++at) {
        ok = 1
        for (x = i; x < k && ok; ++x) ok = same(E[x], O[at + x - i])
        if (ok) { found = 1; j = at + (k - i) }
      }
      if (!found) {
        printf "%s: output block \"%s\" is not what the program printed: no match for\n", doc, name > "/dev/stderr"
        for (x = i; x < k; ++x) printf "  | %s\n", E[x] > "/dev/stderr"
        exit 1
      }
      i = k
    }
  }'
