#!/usr/bin/env python3
"""Each driver line and branch outcome that no test reached, as file:line,
from `llvm-cov export` on stdin; argv[1] is the root the paths are shown from."""
import json
import os
import sys

root = sys.argv[1]
data = json.load(sys.stdin)["data"][0]
gaps = []
for f in data["files"]:
    name = os.path.relpath(f["filename"], root)
    # A segment is (line, column, count, has_count, is_region_entry, is_gap).
    uncovered = sorted({s[0] for s in f["segments"] if s[3] and s[2] == 0 and s[4] and not s[5]})
    gaps += [f"{name}:{line}: not executed" for line in uncovered]
    # A branch is (line, column, end line, end column, true count, false count, ...).
    for b in f.get("branches", []):
        if b[4] == 0 or b[5] == 0:
            side = "never true" if b[4] == 0 else "never false"
            if b[4] == 0 and b[5] == 0:
                side = "never evaluated"
            gaps.append(f"{name}:{b[0]}:{b[1]}: branch {side}")
print(f"== what no test reached in the driver ({len(gaps)})")
print("\n".join(gaps) if gaps else "nothing")
