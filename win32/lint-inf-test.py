#!/usr/bin/python3
"""Tests of lint-inf.py: the shipped INF files, which it must pass, and one
table of toy INF files, each the Windows 10 INF broken in one rule, which
it must refuse with that rule's words. Usage: lint-inf-test.py WORK-DIRECTORY"""
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
LINT = os.path.join(HERE, "lint-inf.py")
MODERN = os.path.join(HERE, "norvusb-win10.inf")
LEGACY = os.path.join(HERE, "norvusb.inf")

# (what, text replaced in the Windows 10 INF, its replacement, words of the refusal)
BROKEN = [
    ("the platform's own USB class", "Class       = USBDevice\nClassGuid   = {88BAE032-5A81-49f0-BC3D-A4FF138216D6}",
     "Class = USB\nClassGuid = {36FC9E60-C465-11CF-8056-444553540000}", "reserved for the platform"),
    ("a class with another class's GUID", "{88BAE032-5A81-49f0-BC3D-A4FF138216D6}",
     "{36FC9E60-C465-11CF-8056-444553540000}", "is not that of class"),
    ("no catalog", "CatalogFile = norvusb.cat\n", "", "no CatalogFile"),
    ("no lockdown", "PnpLockdown = 1", "PnpLockdown = 0", "PnpLockdown=1"),
    ("files copied to the drivers folder", "NorvUsb_Files = 13", "NorvUsb_Files = 12", "not 13"),
    ("a service binary outside the driver store", "%13%\\norvusb.sys", "%12%\\norvusb.sys", "not under %13%"),
    ("a setting outside HKR", "HKR,,IFSetting", "HKLM,Software\\NorvUSB,IFSetting", "HKR only"),
    ("a deleting directive", "AddReg    = NorvUsb_Settings", "AddReg    = NorvUsb_Settings\nDelFiles  = NorvUsb_Files",
     "not valid in a universal INF"),
    ("a class installer", "[SourceDisksNames]", "[ClassInstall32]\nAddReg = NorvUsb_Settings\n\n[SourceDisksNames]",
     "not valid in a universal INF"),
    ("a models decoration with a product type", "NTamd64.10.0...16299\n", "NTamd64.10.0.1\n", "ProductType"),
    ("a copied file the disk does not list", "norvusb.sys = 1", "other.sys = 1", "not in [SourceDisksFiles]"),
    ("a missing install section", "[NorvUsb_Install.NT]", "[NorvUsb_Setup.NT]", "install section"),
]


def main(argv):
    work = argv[1]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    with open(MODERN, encoding="utf-8") as text:
        modern = text.read()
    rows = [("the shipped Windows 10 INF", MODERN, True, "accept", ""),
            ("the shipped INF of the older systems", LEGACY, False, "accept", "")]
    for number, (what, old, new, words) in enumerate(BROKEN):
        assert old in modern, f"the Windows 10 INF no longer holds {old!r}"
        path = os.path.join(work, f"broken{number}.inf")
        with open(path, "w", encoding="utf-8") as text:
            text.write(modern.replace(old, new, 1))
        rows.append((what, path, True, "refuse", words))
    failed = 0
    for what, path, windows10, wanted, words in rows:
        run = subprocess.run([LINT] + (["--windows10"] if windows10 else []) + [path], capture_output=True,
                             text=True, check=False)
        output = run.stdout + run.stderr
        if ("accept" if run.returncode == 0 else "refuse") == wanted and words in output:
            print(f"pass: {what}")
        else:
            failed += 1
            print(f"FAIL: {what} (wanted {wanted} with \"{words}\"): {output.strip()}")
    print(f"INF lint tests: {len(rows) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
