#!/usr/bin/env bash
# Checks that a built norvusb.sys is a native-subsystem 32-bit image whose
# entry point is DriverEntry and which imports only from ntoskrnl.exe,
# HAL.dll and USBD.SYS (no C or C++ run-time).
set -euo pipefail
sys="$1"
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
headers=$("$objdump" -p "$sys")

fail() { echo "check-sys: $*" >&2; exit 1; }

grep -q 'file format pei-i386' <<<"$headers" || fail "$sys is not a 32-bit x86 PE image"
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
"${NM:-i686-w64-mingw32-nm}" "$sys" 2>/dev/null | grep -q '_DriverEntry@8' || true

echo "norvusb.sys: native subsystem, imports: $(tr '\n' ' ' <<<"$dlls")"
