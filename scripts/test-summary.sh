#!/usr/bin/env bash
# One closing line for `make test`: the tests each suite's last CTest run
# passed and failed, added up over the build directories given.
set -euo pipefail
passed=0
failed=0
for dir in "$@"; do
  log="$dir/Testing/Temporary/LastTest.log"
  if [ ! -f "$log" ]; then
    echo "test-summary: no test log in $dir" >&2
    exit 1
  fi
  passed=$((passed + $(grep -c '^Test Passed' "$log" || true)))
  failed=$((failed + $(grep -c '^Test Failed' "$log" || true)))
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
