#!/usr/bin/env bash
# Checks that a built norvusb.sys is a native-subsystem image of the named
# architecture (x86 or x64) whose entry point is set and which imports only
# from ntoskrnl.exe, HAL.dll and USBD.SYS (no C or C++ run-time).
# Usage: check-sys.sh x86|x64 IMAGE
set -euo pipefail
fail() { echo "check-sys: $*" >&2; exit 1; }

[ $# -eq 2 ] || fail "usage: check-sys.sh x86|x64 IMAGE"
arch="$1"
sys="$2"
case "$arch" in
  x86) format=pei-i386 ;;
  x64) format=pei-x86-64 ;;
  *) fail "unknown architecture '$arch' (x86 or x64)" ;;
esac
# The x64 objdump reads both kinds of image.
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
headers=$("$objdump" -p "$sys") || fail "$sys is not a PE image"

grep -q "file format $format\$" <<<"$headers" || fail "$sys is not an $arch PE image ($format)"
grep -Eq '^Subsystem[[:space:]]+0*1[[:space:]]' <<<"$headers" || fail "$sys is not a native-subsystem image"

dlls=$(awk '/DLL Name:/ {print $3}' <<<"$headers" | sort -u)
[ -n "$dlls" ] || fail "$sys imports nothing at all"
while read -r dll; do
  case "${dll,,}" in
    ntoskrnl.exe|hal.dll|usbd.sys) ;;
    *) fail "$sys imports from $dll; only ntoskrnl.exe, HAL.dll and USBD.SYS are allowed" ;;
  esac
done <<<"$dlls"

entry=$(awk '/^AddressOfEntryPoint/ {print $2}' <<<"$headers")
[ "$((16#$entry))" -ne 0 ] || fail "$sys has no entry point"

echo "norvusb.sys ($arch): native subsystem, imports: $(tr '\n' ' ' <<<"$dlls")"
