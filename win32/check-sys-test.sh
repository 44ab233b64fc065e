#!/usr/bin/env bash
# Tests of check-sys.sh itself: tiny images, linked with the build's own
# cross compiler against import libraries made for the occasion, that the
# check must refuse (or, where the oldest target allows them, accept), and
# routine lists it must refuse to read.
# Usage: check-sys-test.sh x86|x64 CXX WORK-DIRECTORY
set -euo pipefail
arch="$1"
cxx="$2"
work="$3"
here=$(cd "$(dirname "$0")" && pwd)
check="$here/check-sys.sh"
list="$here/target-routines.txt"
dlltool="${cxx%g++}dlltool"
if [ "$arch" = x86 ]; then entry=_DriverEntry; else entry=DriverEntry; fi
rm -rf "$work" && mkdir -p "$work"
passed=0
failed=0

# tiny NAME [-Wl,LINK-OPTION...] [-COMPILE-OPTION...] [MODULE:ROUTINE...]: an
# image whose entry point calls each routine once, imported from its module.
tiny() {
  local name="$1" calls="" declarations="" libraries=() options=() compile=()
  shift
  for item in "$@"; do
    case "$item" in
      -Wl,*) options+=("$item") ;;
      -*) compile+=("$item") ;;
      *:*)
        local module="${item%%:*}" routine="${item#*:}"
        declarations+="extern \"C\" __declspec(dllimport) void $routine(void);"$'\n'
        calls+="  $routine();"$'\n'
        printf 'LIBRARY %s\nEXPORTS\n%s\n' "$module" "$routine" >"$work/$name-$routine.def"
        "$dlltool" -d "$work/$name-$routine.def" -l "$work/$name-$routine.a"
        libraries+=("$work/$name-$routine.a") ;;
    esac
  done
  printf '%s\nextern "C" long DriverEntry(void) {\n%s  return 0;\n}\n' "$declarations" "$calls" >"$work/$name.cpp"
  "$cxx" -c -O2 -ffreestanding "${compile[@]}" "$work/$name.cpp" -o "$work/$name.o"
  "$cxx" -nostdlib -nostartfiles -shared -Wl,--subsystem,native -Wl,--entry,$entry \
    "${options[@]}" "$work/$name.o" "${libraries[@]}" -o "$work/$name.sys"
}

# expect accept|refuse WHAT ARCH IMAGE [LIST] [MESSAGE]: the check's verdict,
# and for a refusal the words it must give.
expect() {
  local want="$1" what="$2" as="$3" image="$4" use="${5:-$list}" words="${6:-}" output verdict
  if output=$("$check" "$as" "$image" "$use" 2>&1); then verdict=accept; else verdict=refuse; fi
  if [ "$verdict" = "$want" ] && { [ -z "$words" ] || grep -qF -- "$words" <<<"$output"; }; then
    passed=$((passed + 1))
    echo "pass: $what"
  else
    failed=$((failed + 1))
    echo "FAIL: $what (wanted $want${words:+ with \"$words\"}): $output"
  fi
}

wdm=-Wl,--wdmdriver
tiny good $wdm ntoskrnl.exe:IoCreateDevice USBD.SYS:USBD_ParseConfigurationDescriptor
expect accept "an image of listed routines" $arch "$work/good.sys"
tiny untagged_free $wdm ntoskrnl.exe:ExFreePoolWithTag
if [ "$arch" = x86 ]; then
  expect refuse "ExFreePoolWithTag on Windows 98" x86 "$work/untagged_free.sys" "" "first in Windows 2000"
  tiny other_arch $wdm ntoskrnl.exe:KeReleaseSpinLock
  expect refuse "an x64-only export in an x86 image" x86 "$work/other_arch.sys" "" "only x64 images"
  expect refuse "an x86 image checked as x64" x64 "$work/good.sys" "" "not an x64 PE image"
else
  expect accept "ExFreePoolWithTag on the first x64 systems" x64 "$work/untagged_free.sys"
  tiny other_arch $wdm HAL.dll:KfAcquireSpinLock
  expect refuse "an x86-only export in an x64 image" x64 "$work/other_arch.sys" "" "only x86 images"
  expect refuse "an x64 image checked as x86" x86 "$work/good.sys" "" "not an x86 PE image"
  tiny no_unwind $wdm -fno-asynchronous-unwind-tables ntoskrnl.exe:IoCreateDevice
  expect refuse "an x64 image without unwind data" x64 "$work/no_unwind.sys" "" "no unwind data"
fi
tiny unlisted $wdm ntoskrnl.exe:IoCreateDevice ntoskrnl.exe:IoWMIRegistrationControl
expect refuse "a routine no target is known to provide" $arch "$work/unlisted.sys" "" "IoWMIRegistrationControl from ntoskrnl.exe"
tiny user_mode $wdm KERNEL32.dll:CreateFileA
expect refuse "a user-mode library" $arch "$work/user_mode.sys" "" "CreateFileA from KERNEL32.dll"
tiny wrong_module $wdm HAL.dll:IoCreateDevice
expect refuse "a routine from the wrong module" $arch "$work/wrong_module.sys" "" "IoCreateDevice from HAL.dll"
tiny not_wdm ntoskrnl.exe:IoCreateDevice
expect refuse "no WDM-driver flag" $arch "$work/not_wdm.sys" "" "not marked as a WDM driver"
tiny empty $wdm
expect refuse "an image that imports nothing" $arch "$work/empty.sys" "" "imports nothing"
echo "not an image" >"$work/text.sys"
expect refuse "a file that is no image" $arch "$work/text.sys" "" "not a PE image"

# Lists the check must refuse to read, so that a typing error can never wave
# an import through.
grep -v 'IoCreateDevice ' "$list" >"$work/short.txt"
expect refuse "a list without the routine" $arch "$work/good.sys" "$work/short.txt" "IoCreateDevice from ntoskrnl.exe"
sed 's/^\(routine ntoskrnl.exe IoCreateDevice [^ ]* [^ ]* [^ ]*\) .*/\1/' "$list" >"$work/unsourced.txt"
expect refuse "a routine without its source" $arch "$work/good.sys" "$work/unsourced.txt" "unsourced.txt:"
sed 's/^\(routine ntoskrnl.exe IoCreateDevice\) win98/\1 win97/' "$list" >"$work/unknown_target.txt"
expect refuse "a routine of an unknown target" $arch "$work/good.sys" "$work/unknown_target.txt" "unknown_target.txt:"
sed 's/^\(routine ntoskrnl.exe IoCreateDevice\) win98 win98/\1 winxp win98/' "$list" >"$work/certain_first.txt"
expect refuse "a routine certain before its first target" $arch "$work/good.sys" "$work/certain_first.txt" \
  "certain_first.txt:"
grep -v "^oldest $arch " "$list" >"$work/no_oldest.txt"
expect refuse "a list without the oldest target" $arch "$work/good.sys" "$work/no_oldest.txt" "no oldest target"
expect refuse "no list at all" $arch "$work/good.sys" "$work/missing.txt" "cannot read"

echo "check-sys tests ($arch): $passed passed, $failed failed"
[ "$failed" -eq 0 ]
