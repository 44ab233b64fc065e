#!/usr/bin/python3
"""Checks a built norvusb.sys against the image rules of today's Windows
(memory integrity and the platform's driver checks), beside check-sys.sh,
which checks that it loads on its oldest target. Each rule names its source
in docs/modern-windows.md.

Usage: check-image.py x86|x64 IMAGE [BANNED-LIST [ROUTINE-LIST]]
Prints one line per broken rule and exits 1, or one line of success.
"""
import os
import sys

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
PAGE = 0x1000
SCN_EXECUTE = 0x20000000
SCN_WRITE = 0x80000000
DLL_HIGH_ENTROPY_VA = 0x0020
DLL_DYNAMIC_BASE = 0x0040
DLL_NX_COMPAT = 0x0100
IAT_DIRECTORY = 12


def read_lines(path):
    with open(path, encoding="utf-8") as listing:
        for number, line in enumerate(listing, 1):
            words = line.split()
            if words and not words[0].startswith("#"):
                yield number, words


def read_targets(path):
    """Targets in order, each image's oldest, and the first and certain
    target of each routine, from the list of target routines."""
    order, oldest, certain = {}, {}, {}
    for _, words in read_lines(path):
        if words[0] == "target":
            order[words[1]] = len(order)
        elif words[0] == "oldest":
            oldest[words[1]] = words[2]
        elif words[0] == "routine":
            certain[(words[1].lower(), words[2])] = words[4]
    return order, oldest, certain


def read_banned(path, order):
    """The image's newest target per architecture and the banned routines:
    (module, routine) -> (since, replacement). A line that names an unknown
    target or no source is an error, so that a typing error never waves an
    import through."""
    newest, banned = {}, {}
    for number, words in read_lines(path):
        if words[0] == "newest" and len(words) >= 3 and words[2] in order:
            newest[words[1]] = words[2]
        elif words[0] == "banned" and len(words) >= 6 and words[3] in order:
            banned[(words[1].lower(), words[2])] = (words[3], words[4])
        else:
            raise ValueError(f"{path}:{number}: not a newest or banned line (a banned routine needs a known "
                             "target, a replacement and its source)")
    return newest, banned


def layout_problems(pe, arch):
    problems = []
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode("ascii", "replace")
        if section.Characteristics & SCN_WRITE and section.Characteristics & SCN_EXECUTE:
            problems.append(f"section {name} is both writable and executable")
        if section.VirtualAddress % PAGE:
            problems.append(f"section {name} does not start on a 4 KiB page")
    if pe.OPTIONAL_HEADER.SectionAlignment % PAGE:
        problems.append(f"section alignment 0x{pe.OPTIONAL_HEADER.SectionAlignment:x} is not a multiple of 4 KiB")
    iat = pe.OPTIONAL_HEADER.DATA_DIRECTORY[IAT_DIRECTORY]
    holder = pe.get_section_by_rva(iat.VirtualAddress) if iat.Size else None
    if holder is not None and holder.Characteristics & SCN_EXECUTE:
        problems.append("the import address table is in an executable section")
    if pe.OPTIONAL_HEADER.CheckSum != pe.generate_checksum():
        problems.append(f"header checksum 0x{pe.OPTIONAL_HEADER.CheckSum:x} is wrong "
                        f"(0x{pe.generate_checksum():x})")
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    wanted = [(DLL_NX_COMPAT, "NX_COMPAT"), (DLL_DYNAMIC_BASE, "DYNAMIC_BASE")]
    if arch == "x64":
        wanted.append((DLL_HIGH_ENTROPY_VA, "HIGH_ENTROPY_VA"))
    problems += [f"{name} is not set" for bit, name in wanted if not flags & bit]
    # The linker of a -shared image writes an export directory; it must be empty.
    if hasattr(pe, "DIRECTORY_ENTRY_EXPORT") and pe.DIRECTORY_ENTRY_EXPORT.symbols:
        problems.append(f"the image exports {len(pe.DIRECTORY_ENTRY_EXPORT.symbols)} symbol(s)")
    return problems


def import_problems(pe, arch, banned_list, routine_list):
    order, oldest, certain = read_targets(routine_list)
    newest, banned = read_banned(banned_list, order)
    if arch not in newest or arch not in oldest:
        raise ValueError(f"{banned_list} or {routine_list} names no newest or oldest target for {arch}")
    problems = []
    for module in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        for symbol in module.imports:
            key = (module.dll.decode().lower(), (symbol.name or b"").decode())
            if key not in banned:
                continue
            since, replacement = banned[key]
            if order[since] > order[newest[arch]]:
                continue  # not yet banned on the newest target
            # Kept only while the oldest target lacks the replacement.
            held = certain.get((key[0], replacement))
            if replacement != "none" and (held is None or order[held] > order[oldest[arch]]):
                continue
            use = "no import (inline code of the kits)" if replacement == "none" else replacement
            problems.append(f"imports {key[1]}, banned or deprecated from {since}; use {use}")
    return problems


def main(argv):
    if len(argv) not in (3, 4, 5) or argv[1] not in ("x86", "x64"):
        print("usage: check-image.py x86|x64 IMAGE [BANNED-LIST [ROUTINE-LIST]]", file=sys.stderr)
        return 2
    arch, image = argv[1], argv[2]
    banned_list = argv[3] if len(argv) > 3 else os.path.join(HERE, "banned-routines.txt")
    routine_list = argv[4] if len(argv) > 4 else os.path.join(HERE, "target-routines.txt")
    try:
        pe = pefile.PE(image)
        problems = layout_problems(pe, arch) + import_problems(pe, arch, banned_list, routine_list)
    except (OSError, ValueError, pefile.PEFormatError) as error:
        problems = [str(error)]
    for problem in problems:
        print(f"check-image: {image}: {problem}", file=sys.stderr)
    if problems:
        return 1
    print(f"norvusb.sys ({arch}): meets today's image rules (no W+X section, 4 KiB pages, IAT not executable, "
          "checksum, NX_COMPAT/DYNAMIC_BASE" + ("/HIGH_ENTROPY_VA" if arch == "x64" else "") +
          ", no exports, no banned import)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
