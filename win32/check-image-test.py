#!/usr/bin/python3
"""Tests of check-image.py: one table of toy images, linked with the build's
cross compiler as the driver is and broken in one rule (with pefile, or at
link time), that the check must refuse with that rule's words.
Usage: check-image-test.py x86|x64 CXX WORK-DIRECTORY"""
import os
import shutil
import subprocess
import sys

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))


def toy(arch, cxx, work, name, imports=("ntoskrnl.exe:IoCreateDevice",), exported=False):
    """An image whose entry point calls each imported routine once."""
    routines, libraries = [item.split(":") for item in imports], []
    for module, routine in routines:
        definition = os.path.join(work, f"{name}-{routine}.def")
        with open(definition, "w", encoding="ascii") as text:
            text.write(f"LIBRARY {module}\nEXPORTS\n{routine}\n")
        libraries.append(definition[:-4] + ".a")
        subprocess.run([cxx[: -len("g++")] + "dlltool", "-d", definition, "-l", libraries[-1]], check=True)
    source = os.path.join(work, f"{name}.cpp")
    with open(source, "w", encoding="ascii") as text:
        text.write("".join(f'extern "C" __declspec(dllimport) void {r}(void);\n' for _, r in routines) +
                   ('extern "C" __declspec(dllexport) int Shown(void) { return 1; }\n' if exported else "") +
                   'extern "C" long DriverEntry(void) {\n' + "".join(f"  {r}();\n" for _, r in routines) +
                   "  return 0;\n}\n")
    options = ["-Wl,--nxcompat", "-Wl,--dynamicbase", "-Wl,--section-alignment,0x1000", "-Wl,--wdmdriver"]
    options += (["-Wl,--high-entropy-va"] if arch == "x64" else []) + ([] if exported else ["-Wl,--exclude-all-symbols"])
    entry = "_DriverEntry" if arch == "x86" else "DriverEntry"
    image = os.path.join(work, f"{name}.sys")
    subprocess.run([cxx, "-O2", "-ffreestanding", "-nostdlib", "-nostartfiles", "-shared", "-Wl,--subsystem,native",
                    f"-Wl,--entry,{entry}", *options, source, *libraries, "-o", image], check=True)
    return image


def broken(image, name, change, fix_checksum=True):
    """A copy of IMAGE with CHANGE(pe) applied, its checksum right again
    unless the change is the checksum's."""
    target = os.path.join(os.path.dirname(image), f"{name}.sys")
    pe = pefile.PE(image)
    change(pe)
    pe.write(target)
    if fix_checksum:
        pe = pefile.PE(target)
        pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
        pe.write(target)
    return target


def text_section(pe):
    return next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".text")


def clear(bit):
    return lambda pe: setattr(pe.OPTIONAL_HEADER, "DllCharacteristics", pe.OPTIONAL_HEADER.DllCharacteristics & ~bit)


def main(argv):
    arch, cxx, work = argv[1:4]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    good = toy(arch, cxx, work, "good")
    unknown = os.path.join(work, "unknown_target.txt")
    with open(os.path.join(HERE, "banned-routines.txt"), encoding="utf-8") as listing:
        text = listing.read().replace("sprintf win98 none", "sprintf win97 none")
    with open(unknown, "w", encoding="utf-8") as listing:
        listing.write(text)
    old_map = toy(arch, cxx, work, "old_map", ["ntoskrnl.exe:MmMapLockedPages"])
    # (what, image, list, wanted verdict, words of the refusal)
    rows = [
        ("an image that keeps every rule", good, None, "accept", ""),
        ("a writable code section", broken(good, "wx", lambda pe: setattr(
            text_section(pe), "Characteristics", text_section(pe).Characteristics | 0x80000000)), None, "refuse",
         "both writable and executable"),
        ("sections on 512-byte boundaries", broken(good, "aligned", lambda pe: setattr(
            pe.OPTIONAL_HEADER, "SectionAlignment", 0x200)), None, "refuse", "not a multiple of 4 KiB"),
        ("the import address table in the code", broken(good, "iat", lambda pe: setattr(
            pe.OPTIONAL_HEADER.DATA_DIRECTORY[12], "VirtualAddress", text_section(pe).VirtualAddress)), None,
         "refuse", "import address table is in an executable section"),
        ("a wrong header checksum", broken(good, "checksum", lambda pe: setattr(
            pe.OPTIONAL_HEADER, "CheckSum", pe.OPTIONAL_HEADER.CheckSum ^ 1), False), None, "refuse", "checksum"),
        ("no NX_COMPAT", broken(good, "nx", clear(0x100)), None, "refuse", "NX_COMPAT is not set"),
        ("no DYNAMIC_BASE", broken(good, "aslr", clear(0x40)), None, "refuse", "DYNAMIC_BASE is not set"),
        ("an export", toy(arch, cxx, work, "exports", exported=True), None, "refuse", "exports"),
        ("an import of a banned routine", toy(arch, cxx, work, "banned", ["ntoskrnl.exe:sprintf"]), None, "refuse",
         "imports sprintf"),
        ("a banned routine of an unknown target", good, unknown, "refuse", "unknown_target.txt:"),
    ]
    # A deprecated routine is refused once every target has its replacement.
    if arch == "x64":
        rows += [("no HIGH_ENTROPY_VA", broken(good, "entropy", clear(0x20)), None, "refuse", "HIGH_ENTROPY_VA"),
                 ("MmMapLockedPages where every target has the safe form", old_map, None, "refuse",
                  "use MmMapLockedPagesSpecifyCache")]
    else:
        rows += [("MmMapLockedPages for Windows 98", old_map, None, "accept", "")]
    failed = 0
    for what, image, listing, wanted, words in rows:
        run = subprocess.run([os.path.join(HERE, "check-image.py"), arch, image] + ([listing] if listing else []),
                             capture_output=True, text=True, check=False)
        if ("accept" if run.returncode == 0 else "refuse") == wanted and words in run.stdout + run.stderr:
            print(f"pass: {what}")
        else:
            failed += 1
            print(f"FAIL: {what} (wanted {wanted} with \"{words}\"): {(run.stdout + run.stderr).strip()}")
    print(f"check-image tests ({arch}): {len(rows) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
