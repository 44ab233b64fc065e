#!/usr/bin/env python3
"""Every relative link of the Markdown files leads somewhere (part of `make test`).

A link `[text](path)` or `[text](path#heading)` that is not a web address
must name a file or folder of the tree, relative to the page; a heading
named after `#` must be one of the target page's headings, as the
repository's renderer turns them into anchors. Prints each broken link;
exits 1 on any.
"""
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
LINK = re.compile(r"(?<!!)\[[^\]]*\]\(([^)\s]+)\)")
CODE = re.compile(r"```.*?```|`[^`\n]*`", re.S)


def anchors(page):
    found = set()
    for heading in re.findall(r"^#+\s+(.*)$", CODE.sub("", page.read_text()), re.M):
        found.add(re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-"))
    return found


pages = subprocess.run(["git", "ls-files", "*.md"], cwd=ROOT, capture_output=True, text=True,
                       check=True).stdout.split()
broken = []
for name in pages:
    page = ROOT / name
    for target in LINK.findall(CODE.sub("", page.read_text())):
        if re.match(r"^[a-z]+:", target):
            continue  # a web address or mail
        path, _, heading = target.partition("#")
        goal = (page.parent / path).resolve() if path else page
        if not goal.exists():
            broken.append(f"{name}: {target}: no such file")
        elif heading and goal.suffix == ".md" and heading not in anchors(goal):
            broken.append(f"{name}: {target}: no such heading")
for line in broken:
    print(line)
if broken:
    print("check-links: broken relative links in the Markdown files")
sys.exit(1 if broken else 0)
