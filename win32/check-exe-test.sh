#!/usr/bin/env bash
# Tests of check-exe.sh: tiny console images, linked with the build's own
# cross compiler against import libraries made for the occasion, that the
# check must accept or refuse, and why.
# Usage: check-exe-test.sh CXX WORK-DIRECTORY
set -euo pipefail
cxx="$1"
work="$2"
here=$(cd "$(dirname "$0")" && pwd)
dlltool="${cxx%g++}dlltool"
rm -rf "$work" && mkdir -p "$work"
passed=0
failed=0

# tiny NAME [-Wl,LINK-OPTION...] [MODULE:ROUTINE...]: an image whose entry
# point calls each routine once.
tiny() {
  local name="$1" calls="" declarations="" libraries=() options=()
  shift
  for item in "$@"; do
    case "$item" in
      -Wl,*) options+=("$item") ;;
      *:*)
        local module="${item%%:*}" routine="${item#*:}"
        declarations+="extern \"C\" __declspec(dllimport) void __stdcall $routine(void);"$'\n'
        calls+="  $routine();"$'\n'
        printf 'LIBRARY %s\nEXPORTS\n%s@0\n' "$module" "$routine" >"$work/$name-$routine.def"
        "$dlltool" -k -d "$work/$name-$routine.def" -l "$work/$name-$routine.a"
        libraries+=("$work/$name-$routine.a") ;;
    esac
  done
  printf '%s\nextern "C" int start(void) {\n%s  return 0;\n}\n' "$declarations" "$calls" >"$work/$name.cpp"
  "$cxx" -c -O2 "$work/$name.cpp" -o "$work/$name.o"
  "$cxx" -nostdlib -nostartfiles -Wl,--subsystem,console:4.0 -Wl,--major-os-version,4 -Wl,--entry,_start \
    "${options[@]}" "$work/$name.o" "${libraries[@]}" -o "$work/$name.exe"
}

expect() {  # accept|refuse WHAT IMAGE [MESSAGE]
  local want="$1" what="$2" image="$3" words="${4:-}" output verdict
  if output=$("$here/check-exe.sh" "$image" 2>&1); then verdict=accept; else verdict=refuse; fi
  if [ "$verdict" = "$want" ] && { [ -z "$words" ] || grep -qF -- "$words" <<<"$output"; }; then
    passed=$((passed + 1))
    echo "pass: $what"
  else
    failed=$((failed + 1))
    echo "FAIL: $what (wanted $want${words:+ with \"$words\"}): $output"
  fi
}

tiny good KERNEL32.dll:GetTickCount KERNEL32.dll:CreateFileA
expect accept "routines Windows 98 has" "$work/good.exe"
tiny cancel KERNEL32.dll:CreateFileA KERNEL32.dll:CancelIoEx
expect refuse "CancelIoEx, first in Windows Vista" "$work/cancel.exe" "CancelIoEx from KERNEL32.dll, first in Windows Vista"
tiny ticks KERNEL32.dll:GetTickCount64
expect refuse "GetTickCount64, first in Windows Vista" "$work/ticks.exe" "GetTickCount64 from KERNEL32.dll, first in"
tiny runtime libstdc++-6.dll:_ZSt9terminatev
expect refuse "a C++ run-time DLL" "$work/runtime.exe" "from libstdc++-6.dll, which no target is known to provide"
tiny newer -Wl,--subsystem,console:5.1 KERNEL32.dll:GetTickCount
expect refuse "a header that asks for Windows XP" "$work/newer.exe" "Windows 98 is 4.10"
tiny window -Wl,--subsystem,windows KERNEL32.dll:GetTickCount
expect refuse "a window image" "$work/window.exe" "not a console image"

echo "check-exe tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
