#!/usr/bin/env bash
# Holds an image's imports to a list of target routines (target-routines.txt
# for norvusb.sys, tool-routines.txt for norvusb.exe): every routine must be
# listed, for the image's architecture, in a target no newer than the
# oldest one the list names for it. Prints "oldest target ..." (and the
# imports that are listed but unconfirmed there); exits 1 with one line per
# problem otherwise.
# Usage: check-imports.sh x86|x64 IMAGE LIST
#        check-imports.sh --list IMAGE   (the "MODULE ROUTINE" lines alone)
set -euo pipefail
fail() { echo "check-imports: $*" >&2; exit 1; }

objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
if [ "${1:-}" = --list ]; then
  [ $# -eq 2 ] || fail "usage: check-imports.sh --list IMAGE"
  set -- "" "$2" ""
fi
[ $# -eq 3 ] || fail "usage: check-imports.sh x86|x64 IMAGE LIST"
arch="$1"
sys="$2"
list="$3"
headers=$("$objdump" -p "$sys" 2>/dev/null) || fail "$sys is not a PE image"
# One "MODULE NAME" line per imported routine.
imports=$(awk '/DLL Name:/ {dll = $3; next}
               dll != "" && NF == 0 {dll = ""}
               dll != "" && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ && NF >= 3 {print dll, $3}' <<<"$headers")
if [ -z "$arch" ]; then
  printf '%s\n' "$imports"
  exit 0
fi
[ -n "$imports" ] || fail "$sys imports nothing at all"
[ -r "$list" ] || fail "cannot read the list of target routines $list"
# Problems are said in the name of the check that asked (CHECK_NAME).
awk -v arch="$arch" -v listname="$list" -v image="$sys" -v who="${CHECK_NAME:-check-imports}" '
  function bad(text) { problems = problems who ": " text "\n" }
  FNR == NR {
    if ($0 ~ /^[[:space:]]*(#|$)/) next
    if ($1 == "target" && NF >= 3) { order[$2] = ++targets; title = $3; for (i = 4; i <= NF; i++) title = title " " $i; name[$2] = title; next }
    if ($1 == "oldest" && NF == 3 && ($3 in order)) { oldest[$2] = $3; next }
    if ($1 == "routine" && NF >= 7 && ($4 in order) && ($5 in order) && order[$5] >= order[$4] && $6 ~ /^(any|x86|x64)$/) {
      key = tolower($2) SUBSEP $3; first[key] = $4; certain[key] = $5; only[key] = $6; next
    }
    bad(listname ":" FNR ": not a target, oldest or routine line (a routine needs known targets, an architecture and its source)")
    next
  }
  {
    if (!(arch in oldest)) { bad(listname " names no oldest target for " arch); exit }
    key = tolower($1) SUBSEP $2
    if (!(key in first)) { bad(image " imports " $2 " from " $1 ", which no target is known to provide"); next }
    if (only[key] != "any" && only[key] != arch) { bad(image " imports " $2 " from " $1 ", which only " only[key] " images may import"); next }
    if (order[first[key]] > order[oldest[arch]]) {
      bad(image " imports " $2 " from " $1 ", first in " name[first[key]] "; the oldest " arch " target is " name[oldest[arch]])
      next
    }
    if (order[certain[key]] > order[oldest[arch]]) unsure = unsure " " $2
  }
  END {
    if (problems != "") { printf "%s", problems > "/dev/stderr"; exit 1 }
    printf "oldest target %s%s\n", name[oldest[arch]], (unsure == "" ? "" : "; unconfirmed there:" unsure)
  }' "$list" - <<<"$imports"

