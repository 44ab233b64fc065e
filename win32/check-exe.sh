#!/usr/bin/env bash
# Checks that a built norvusb.exe starts on every Windows from 98 on: a
# 32-bit x86 console image whose header asks for no newer system than 4.0,
# that loads no C or C++ run-time DLL of its own, and imports only routines
# that tool-routines.txt says Windows 98 has.
# Usage: check-exe.sh IMAGE [ROUTINE-LIST]
set -euo pipefail
fail() { echo "check-exe: $*" >&2; exit 1; }

[ $# -eq 1 ] || [ $# -eq 2 ] || fail "usage: check-exe.sh IMAGE [ROUTINE-LIST]"
exe="$1"
list="${2:-$(dirname "$0")/tool-routines.txt}"
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
headers=$("$objdump" -p "$exe" 2>/dev/null) || fail "$exe is not a PE image"

grep -q 'file format pei-i386$' <<<"$headers" || fail "$exe is not an x86 PE image (pei-i386)"
grep -Eq '^Subsystem[[:space:]]+0*3[[:space:]]' <<<"$headers" || fail "$exe is not a console image"
# The loader of Windows 98 refuses an image that asks for a newer system.
for field in MajorOSystemVersion MajorSubsystemVersion; do
  version=$(awk -v f="$field" '$1 == f {print $2}' <<<"$headers")
  [ "${version:-99}" -le 4 ] || fail "$exe asks for Windows $version.x ($field); Windows 98 is 4.10"
done
verdict=$(CHECK_NAME=check-exe "$(dirname "$0")/check-imports.sh" x86 "$exe" "$list") || exit 1
dlls=$("$(dirname "$0")/check-imports.sh" --list "$exe" | awk '{print $1}' | sort -u | tr '\n' ' ')
echo "norvusb.exe: x86 console image, imports from ${dlls}within its $verdict"
