#!/usr/bin/env python3
"""Each driver line and branch side that no test reached, as file:line, from
`llvm-cov export -format=lcov` on stdin (the same judgement as its summary);
argv[1] is the root the paths are shown from."""
import os
import sys

root = sys.argv[1]
gaps = []
name = ""
for record in sys.stdin:
    record = record.strip()
    if record.startswith("SF:"):
        name = os.path.relpath(record[3:], root)
    elif record.startswith("DA:"):
        line, count = record[3:].split(",")[:2]
        if int(count) == 0:
            gaps.append(f"{name}:{line}: not executed")
    elif record.startswith("BRDA:"):
        line, _block, branch, taken = record[5:].split(",")
        if taken in ("-", "0"):
            side = "true" if int(branch) % 2 == 0 else "false"
            gaps.append(f"{name}:{line}: branch never {side}")
print(f"== what no test reached in the driver ({len(gaps)})")
print("\n".join(gaps) if gaps else "nothing")
