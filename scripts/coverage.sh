#!/usr/bin/env bash
# Line and branch coverage of the default suite, from clang's source-based
# coverage: runs the suite of the coverage build in $1, merges what every test
# process wrote, prints a summary of the driver's folders and one of the host
# machine, and lists each driver line and branch no test reached. The HTML
# report is $1/html/index.html.
#   scripts/coverage.sh build/coverage [ctest flags...]
set -euo pipefail

build=${1:?usage: coverage.sh BUILD_DIR [ctest flags...]}
shift
profiles="$build/profiles"
rm -rf "$profiles" "$build/html"
mkdir -p "$profiles"

# One file per process (%p): the tests ctest runs side by side, and the
# program the tools' tests start, never write into each other's file.
LLVM_PROFILE_FILE="$PWD/$profiles/%p.profraw" ctest --test-dir "$build" "$@"
llvm-profdata merge -sparse -o "$build/merged.profdata" "$profiles"/*.profraw

# llvm-cov takes the first program plainly and the others after -object.
programs=()
for p in "$build"/test_* "$build"/norvusb; do
  [[ -x $p && $p != *.cmake ]] && programs+=("$p")
done
args=(-instr-profile "$build/merged.profdata" "${programs[0]}")
for p in "${programs[@]:1}"; do args+=(-object "$p"); done

# The folders are told apart by name (the recorded paths may be relative to
# the build when a compiler cache with a base folder built them).
driver='(^|/)(tests|tools|host|CMakeFiles)/|^/usr/'
host='(^|/)(tests|tools|driver|device|usb|io|enum|include|CMakeFiles)/|^/usr/'
llvm-cov report -show-region-summary=false -show-instantiation-summary=false -show-branch-summary \
  -ignore-filename-regex="$driver" "${args[@]}" > "$build/driver-summary.txt"
llvm-cov report -show-region-summary=false -show-instantiation-summary=false -show-branch-summary \
  -ignore-filename-regex="$host" "${args[@]}" > "$build/host-summary.txt"
echo "== the driver (goal: every line, and 95 % of branches)"
head -1 "$build/driver-summary.txt"
tail -1 "$build/driver-summary.txt"
echo "== the host machine"
tail -1 "$build/host-summary.txt"
llvm-cov show -format=html -show-branches=count -output-dir "$build/html" \
  -ignore-filename-regex='(^|/)(tests|tools|CMakeFiles)/|^/usr/' "${args[@]}" > /dev/null
llvm-cov export -format=lcov -ignore-filename-regex="$driver" "${args[@]}" \
  | python3 "$(dirname "$0")/coverage-gaps.py" "$PWD/$build"
echo "coverage: $build/html/index.html, $build/driver-summary.txt, $build/host-summary.txt"
