#!/usr/bin/env bash
# Checks that a built norvusb.sys loads on every target it names: a
# native-subsystem image of the named architecture (x86 or x64), marked as a
# WDM driver, with an entry point (and on x64 unwind data), importing only
# routines that the list of
# target routines says its oldest target provides (and so only from
# ntoskrnl.exe, HAL.dll and USBD.SYS, never a C or C++ run-time).
# Usage: check-sys.sh x86|x64 IMAGE [ROUTINE-LIST]
set -euo pipefail
fail() { echo "check-sys: $*" >&2; exit 1; }

[ $# -eq 2 ] || [ $# -eq 3 ] || fail "usage: check-sys.sh x86|x64 IMAGE [ROUTINE-LIST]"
arch="$1"
sys="$2"
list="${3:-$(dirname "$0")/target-routines.txt}"
case "$arch" in
  x86) format=pei-i386 ;;
  x64) format=pei-x86-64 ;;
  *) fail "unknown architecture '$arch' (x86 or x64)" ;;
esac
[ -r "$list" ] || fail "cannot read the list of target routines $list"
# The x64 objdump reads both kinds of image.
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
headers=$("$objdump" -p "$sys" 2>/dev/null) || fail "$sys is not a PE image"

grep -q "file format $format\$" <<<"$headers" || fail "$sys is not an $arch PE image ($format)"
grep -Eq '^Subsystem[[:space:]]+0*1[[:space:]]' <<<"$headers" || fail "$sys is not a native-subsystem image"
# IMAGE_DLLCHARACTERISTICS_WDM_DRIVER: the loaders of the WDM targets look for it.
flags=$(awk '/^DllCharacteristics/ {print $2}' <<<"$headers")
[ $(( 16#${flags:-0} & 0x2000 )) -ne 0 ] || fail "$sys is not marked as a WDM driver (DllCharacteristics $flags)"
entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$headers")
[ "$((16#${entry:-0}))" -ne 0 ] || fail "$sys has no entry point"

# One "MODULE NAME" line per imported routine.
imports=$(awk '/DLL Name:/ {dll = $3; next}
               dll != "" && NF == 0 {dll = ""}
               dll != "" && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ && NF >= 3 {print dll, $3}' <<<"$headers")
[ -n "$imports" ] || fail "$sys imports nothing at all"
# The x64 kernel walks stacks with the image's unwind data.
if [ "$arch" = x64 ]; then
  unwind=$(awk '/Exception Directory/ {print $4}' <<<"$headers")
  [ "$((16#${unwind:-0}))" -ne 0 ] || fail "$sys has no unwind data (.pdata)"
fi

verdict=$(awk -v arch="$arch" -v listname="$list" -v image="$sys" '
  function bad(text) { problems = problems "check-sys: " text "\n" }
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
    if (problems != "") { printf "%s", problems; exit 1 }
    printf "oldest target %s%s\n", name[oldest[arch]], (unsure == "" ? "" : "; unconfirmed there:" unsure)
  }' "$list" - <<<"$imports")  || { printf '%s\n' "$verdict" >&2; exit 1; }

dlls=$(awk '{print $1}' <<<"$imports" | sort -u | tr '\n' ' ')
echo "norvusb.sys ($arch): native WDM image, imports from ${dlls}within its $verdict"
