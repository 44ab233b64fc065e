#!/usr/bin/env python3
"""The examples in the docs, made by running them.

A fenced block right after a line `<!-- run: norvusb ARGS -->` holds what
`norvusb ARGS` prints on standard output (after `$ norvusb ARGS` unless the
block is JSON). Each runs in a scratch folder where `examples/` is the
project's, so that names in the output read as in the docs.

  scripts/doc-examples.py NORVUSB          rewrite the blocks from a run
  scripts/doc-examples.py --check NORVUSB  fail, with a diff, when they drift
"""
import difflib
import os
import re
import shlex
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS = ["docs/cli.md"]
MARKER = re.compile(r"^<!-- run: (norvusb .*) -->$")


def run(program, command, scratch):
    args = shlex.split(command)[1:]
    result = subprocess.run([program] + args, cwd=scratch, stdin=subprocess.DEVNULL, capture_output=True,
                            text=True, check=False)
    return result.stdout


def regenerate(text, program, scratch):
    lines = text.split("\n")
    out = []
    i = 0
    while i < len(lines):
        out.append(lines[i])
        match = MARKER.match(lines[i])
        i += 1
        if not match:
            continue
        if i >= len(lines) or not lines[i].startswith("```"):
            sys.exit(f"doc-examples: no fenced block after {lines[i - 1]}")
        fence = lines[i]
        end = lines.index("```", i + 1)
        body = run(program, match.group(1), scratch).rstrip("\n")
        if fence != "```json":
            body = f"$ {match.group(1)}\n{body}"
        out += [fence] + body.split("\n") + ["```"]
        i = end + 1
    return "\n".join(out)


def main():
    check = "--check" in sys.argv
    program = os.path.abspath([a for a in sys.argv[1:] if a != "--check"][0])
    drift = False
    with tempfile.TemporaryDirectory() as scratch:
        os.symlink(os.path.join(ROOT, "examples"), os.path.join(scratch, "examples"))
        for doc in DOCS:
            path = os.path.join(ROOT, doc)
            with open(path, encoding="utf-8") as f:
                old = f.read()
            new = regenerate(old, program, scratch)
            if new == old:
                continue
            if check:
                drift = True
                sys.stdout.writelines(difflib.unified_diff(old.splitlines(True), new.splitlines(True), doc, doc + " (run)"))
            else:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(new)
    if drift:
        print("doc-examples: the examples drifted from what the program prints; "
              "scripts/doc-examples.py build/default/norvusb rewrites them")
        sys.exit(1)


if __name__ == "__main__":
    main()
