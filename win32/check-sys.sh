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

# The x64 kernel walks stacks with the image's unwind data.
if [ "$arch" = x64 ]; then
  unwind=$(awk '/Exception Directory/ {print $4}' <<<"$headers")
  [ "$((16#${unwind:-0}))" -ne 0 ] || fail "$sys has no unwind data (.pdata)"
fi

verdict=$(CHECK_NAME=check-sys "$(dirname "$0")/check-imports.sh" "$arch" "$sys" "$list") || exit 1
imports=$("$(dirname "$0")/check-imports.sh" --list "$sys")
dlls=$(awk '{print $1}' <<<"$imports" | sort -u | tr '\n' ' ')
echo "norvusb.sys ($arch): native WDM image, imports from ${dlls}within its $verdict"
