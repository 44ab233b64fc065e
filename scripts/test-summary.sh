#!/usr/bin/env bash
# One closing line for `make test`: the tests each suite's last CTest run
# passed and failed, added up over the build directories given, and those of
# the Wine suite (a results file "passed failed skipped" from
# scripts/test-wine.sh).
set -euo pipefail
passed=0
failed=0
skipped=0
for dir in "$@"; do
  if [ -f "$dir" ]; then
    read -r p f s <"$dir"
    passed=$((passed + p))
    failed=$((failed + f))
    skipped=$((skipped + s))
    continue
  fi
  log="$dir/Testing/Temporary/LastTest.log"
  if [ ! -f "$log" ]; then
    echo "test-summary: no test log in $dir" >&2
    exit 1
  fi
  passed=$((passed + $(grep -c '^Test Passed' "$log" || true)))
  failed=$((failed + $(grep -c '^Test Failed' "$log" || true)))
done
if [ "$skipped" -gt 0 ]; then
  echo "$passed passed, $failed failed, $skipped skipped"
else
  echo "$passed passed, $failed failed"
fi
[ "$failed" -eq 0 ]
