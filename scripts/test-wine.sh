#!/usr/bin/env bash
# make test-wine: the real norvusb.sys on Wine's kernel. For each Windows
# target whose image is built (build/win32/norvusb.sys, build/win64/norvusb.sys):
# builds the Wine suite's test parts (tests/wine/), a fresh Wine prefix under
# build/wine/<target>/, installs the virtual bus and offers win32/norvusb.inf
# as shipped, then runs the test client. Headless: no X server is needed.
# Prints Wine's log of a step that failed; closes with "N passed, N failed".
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

export WINEDEBUG=${WINEDEBUG:-err+all}
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installers
unset DISPLAY WAYLAND_DISPLAY

passed=0
failed=0
skipped=0
prefixes=()
cleanup() {
  for p in "${prefixes[@]}"; do WINEPREFIX="$p" wineserver -k 2>/dev/null || true; done
}
trap cleanup EXIT INT TERM

fail_step() {  # target, step, log
  echo "test-wine: $1: $2 failed; Wine's log:"
  sed 's/^/  | /' "$3" | tail -n 200
  failed=$((failed + 1))
}

run_target() {  # name, Wine architecture, compiler triple, image
  local name=$1 arch=$2 triple=$3 image=$4
  local dir="$root/build/wine/$name"
  local parts="$dir/parts" stage="$dir/stage" prefix="$dir/prefix"
  echo "== Wine, $name: $image"
  if ! cmake -S tests/wine -B "$parts" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/tests/wine/toolchain.cmake" -DNVWINE_TRIPLE="$triple" >"$dir.cmake.log" 2>&1 ||
     ! cmake --build "$parts" --parallel "${JOBS:-2}" >>"$dir.cmake.log" 2>&1; then
    echo "test-wine: $name: building the test parts failed"
    tail -n 50 "$dir.cmake.log"
    failed=$((failed + 1))
    return
  fi
  rm -rf "$stage" "$prefix"
  mkdir -p "$stage/bus" "$stage/driver/x86"
  cp "$parts/nvbus.sys" "$parts/nvbus.inf" "$stage/bus/"
  cp win32/norvusb.inf "$stage/driver/"  # the INF exactly as shipped
  # Wine reads only the undecorated [SourceDisksFiles], which names x86\
  # (docs/wine.md): each target's image goes there.
  cp "$image" "$stage/driver/x86/"
  cp "$parts"/nvinstall.exe "$parts"/nvbridge.exe "$parts"/nvtest.exe "$stage/"
  local start=$SECONDS
  boot_prefix "$name" "$dir" "$prefix" "$arch" || return
  if ! (cd "$stage" && wine nvinstall.exe 'bus\nvbus.inf' 'driver\norvusb.inf') >"$dir/install.log" 2>&1 ||
     ! wineserver -w; then
    fail_step "$name" "installing the bus" "$dir/install.log"
    return
  fi
  # The client's results apart from Wine's messages, which would otherwise
  # land in the middle of a result line and hide it from the count.
  (cd "$stage" && timeout 600 wine nvtest.exe) >"$dir/test.log" 2>"$dir/wine.log"
  tally "$name" "$dir" $? "$start"
}

# A fresh prefix for a target: name, its folder, the prefix, Wine architecture.
boot_prefix() {
  local name=$1 dir=$2 prefix=$3 arch=$4
  prefixes+=("$prefix")
  export WINEPREFIX="$prefix" WINEARCH="$arch"
  # Wine's own USB driver (wineusb, for the host's USB devices) has nothing to
  # do here and now and then faults at start where there is no USB: off.
  if ! { wineboot -i && wineserver -w &&
         wine reg add 'HKLM\System\CurrentControlSet\Services\wineusb' /v Start /t REG_DWORD /d 4 /f &&
         wineserver -w; } >"$dir/boot.log" 2>&1; then
    fail_step "$name" "creating the prefix" "$dir/boot.log"
    return 1
  fi
}

# Ends the prefix's Wine and adds up a client's results from $dir/test.log:
# name, folder, the client's exit status, the start time.
tally() {
  local name=$1 dir=$2 status=$3 start=$4
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  grep -E '^(PASS|FAIL|SKIP|  )' "$dir/test.log" | sed "s/^/[$name] /"
  local p f s
  p=$(grep -c '^PASS' "$dir/test.log")
  f=$(grep -c '^FAIL' "$dir/test.log")
  s=$(grep -c '^SKIP' "$dir/test.log")
  # The client's own closing line must agree with the result lines it wrote:
  # a result that went missing is a failure, never a pass left uncounted.
  local closing
  closing=$(tr -d '\r' <"$dir/test.log" | grep -E '^[0-9]+ passed, [0-9]+ failed, [0-9]+ skipped$' | tail -n 1)
  if [ "$closing" != "$p passed, $f failed, $s skipped" ]; then
    echo "test-wine: $name: the client closed with \"${closing:-nothing}\" but wrote $p passed, $f failed, $s skipped"
    f=$((f + 1))
  fi
  if [ "$status" -ne 0 ] && [ "$f" -eq 0 ]; then f=1; fi
  if [ "$f" -ne 0 ]; then
    echo "test-wine: $name: the client's other output and Wine's log:"
    grep -vE '^(PASS|FAIL|SKIP|  )' "$dir/test.log" | sed 's/^/  | /' | tail -n 50
    sed 's/^/  | /' "$dir/wine.log" | tail -n 200
  fi
  passed=$((passed + p))
  failed=$((failed + f))
  skipped=$((skipped + s))
  echo "== Wine, $name: $p passed, $f failed, $s skipped in $((SECONDS - start)) s"
}

if ! command -v wine >/dev/null || ! command -v wineserver >/dev/null; then
  echo "test-wine: Wine is not installed (scripts/install-deps.sh installs it)"
  echo "0 passed, 1 failed"
  exit 1
fi
mkdir -p build/wine
# WINE_TARGETS picks targets (make bench-wine runs x86 alone); WINE_RESULTS=none
# leaves the suite's counts for scripts/test-summary.sh as they were.
targets=" ${WINE_TARGETS:-x86 x64} "
ran=0
if [ -f build/win32/norvusb.sys ] && [[ $targets == *" x86 "* ]]; then
  run_target x86 win32 i686-w64-mingw32 "$root/build/win32/norvusb.sys"
  ran=1
fi
if [ -f build/win64/norvusb.sys ] && [[ $targets == *" x64 "* ]]; then
  run_target x64 win64 x86_64-w64-mingw32 "$root/build/win64/norvusb.sys"
  ran=1
fi
# The package as a person installs it (scripts/test-wine-package.sh); not in
# a run of chosen tests (NVTEST_ONLY: make bench-wine, diagnosis).
if [ -z "${NVTEST_ONLY:-}" ]; then
  source scripts/test-wine-package.sh
  package_stage
fi
if [ "$ran" -eq 0 ]; then
  echo "test-wine: no norvusb.sys built (make test-win32 first)"
  failed=$((failed + 1))
fi
# For scripts/test-summary.sh, which adds these to the other suites' counts.
[ "${WINE_RESULTS:-}" = none ] || echo "$passed $failed $skipped" >build/wine/results
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
