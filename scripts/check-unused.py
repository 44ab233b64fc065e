#!/usr/bin/env python3
"""Functions declared and never called (part of `make test`).

The compilers and clang-tidy (`make tidy`) see unused code inside one file;
this sees across files: a function or method declared in a header of the
host machine, the program or the test support that nothing uses outside its
header and the .cpp of the same name is reported. A name counts as used
where it appears other than as a type (`Name *`, `Name &`). Exits 1 on any.
"""
import collections
import pathlib
import re
import sys

ROOT = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
SCANNED = ("host/", "tools/", "tests/support/", "bench/")
SKIPPED = ("host/kernel/api/",)  # the platform's API: what a driver may call
SOURCES = [p for top in ("host", "tools", "tests", "bench", "driver", "device", "usb", "io", "enum", "include")
           for p in (ROOT / top).rglob("*") if p.suffix in (".h", ".cpp")]
DECLARATION = re.compile(
    r"^\s*(?:(?:static|virtual|inline|constexpr|explicit|friend|\[\[nodiscard\]\])\s+)*"
    r"[\w:<>,\s\*&]+?[\s\*&]([A-Z]\w*)\s*\([^;{]*\)\s*(?:const\s*)?(?:noexcept\s*)?(?:override\s*)?[;{]", re.M)
USE = re.compile(r"\b([A-Z]\w*)\b(?!\s*[\*&]\s*\w)")

texts = {p.relative_to(ROOT).as_posix(): p.read_text(errors="replace") for p in SOURCES}
uses = collections.Counter()
for text in texts.values():
    uses.update(USE.findall(text))

unused = []
for header, text in sorted(texts.items()):
    if not header.endswith(".h") or not header.startswith(SCANNED) or header.startswith(SKIPPED):
        continue
    for match in DECLARATION.finditer(text):
        function = match.group(1)
        # Defined where declared (inline), or declared here and defined in a .cpp.
        if uses[function] <= (1 if match.group(0).endswith("{") else 2):
            unused.append(f"{header}: {function} is declared and never used")
for line in unused:
    print(line)
sys.exit(1 if unused else 0)
