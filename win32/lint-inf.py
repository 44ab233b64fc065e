#!/usr/bin/python3
"""A small lint of our INF files: the rules of the platform's INF checker
that apply to a function driver of a USB device, each with its source (the
platform's checker, InfVerif, has no open-source version). Every INF gets
the general rules; one for Windows 10 and 11 (--windows10) the rules of a
universal INF run from the driver store too.

Usage: lint-inf.py [--windows10] INF
Prints one line per broken rule and exits 1, or one line of success.
"""
import re
import sys

# Microsoft Learn, "System-defined device setup classes available to
# vendors" and "USB device class drivers included in Windows".
CLASSES = {
    "usb": "{36fc9e60-c465-11cf-8056-444553540000}",
    "usbdevice": "{88bae032-5a81-49f0-bc3d-a4ff138216d6}",
}
# Microsoft Learn, "USB device class drivers included in Windows": the USB
# class is reserved for host controllers and hubs; a custom device of no
# other class takes USBDevice.
RESERVED_CLASSES = {"usb"}
# Microsoft Learn, "Using a Universal INF File": sections and directives
# that are not valid in a universal INF.
NOT_UNIVERSAL_SECTIONS = ("classinstall32", ".coinstallers", ".factdef", ".logconfigoverride")
NOT_UNIVERSAL_DIRECTIVES = {"delfiles", "renfiles", "bitreg", "logconfig", "profileitems", "updateinis",
                            "updateinifields", "ini2reg", "registerdlls", "unregisterdlls", "delreg"}
# Microsoft Learn, "INF Manufacturer section": NT, an architecture, and an
# optional OS version; a universal INF names no ProductType or SuiteMask.
DECORATION = re.compile(r"^nt(x86|amd64|arm|arm64)?(\.\d+(\.\d+)?(\.\.\.\d+)?)?$", re.IGNORECASE)


def parse(path):
    """Sections in order: name (lower case) -> list of (key, values) lines,
    key lower case or None for a line without '='."""
    sections, current = {}, None
    with open(path, encoding="utf-8-sig") as text:
        for raw in text:
            line = re.sub(r'\s*;(?=(?:[^"]*"[^"]*")*[^"]*$).*', "", raw).strip()
            if not line:
                continue
            if line.startswith("["):
                current = sections.setdefault(line.strip("[]").strip().lower(), [])
                continue
            if current is None:
                continue
            if "=" in line:
                key, value = line.split("=", 1)
                current.append((key.strip().lower(), [v.strip() for v in value.split(",")]))
            else:
                current.append((None, [v.strip() for v in line.split(",")]))
    return sections


def values(section, key):
    return [v for k, v in section if k == key]


def version_value(sections, key):
    found = values(sections.get("version", []), key)
    return found[0][0].strip('"').lower() if found else None


def install_sections(sections):
    """Every install section a models section names, with the platform
    extensions that exist for it."""
    names = set()
    for _, decorations in sections.get("manufacturer", []):
        models = decorations[0].lower()
        for decoration in [""] + ["." + d.lower() for d in decorations[1:]]:
            for _, entry in sections.get(models + decoration, []):
                if len(entry) >= 1:
                    names.add(entry[0].lower())
    found = set()
    for name in names:
        found |= {s for s in sections if s == name or s.startswith(name + ".")}
    return names, found


# The install section itself: the name, or the name with a platform
# extension (INF DDInstall section).
INSTALL_EXTENSIONS = ("", ".nt", ".ntx86", ".ntamd64", ".ntarm", ".ntarm64")


def general_problems(sections):
    problems = []
    for key in ("signature", "class", "classguid", "provider", "driverver"):
        if version_value(sections, key) is None:
            problems.append(f"[Version] has no {key} (INF Version section)")
    klass, guid = version_value(sections, "class"), version_value(sections, "classguid")
    if klass in CLASSES and guid != CLASSES[klass]:
        problems.append(f"ClassGuid {guid} is not that of class {klass} (system-defined device setup classes)")
    names, found = install_sections(sections)
    for name in names:
        if not any(name + extension in sections for extension in INSTALL_EXTENSIONS):
            problems.append(f"install section [{name}] is missing (INF DDInstall section)")
    listed = {key or entry[0].lower() for key, entry in sections.get("sourcedisksfiles", [])}
    for section in found:
        for key, targets in sections[section]:
            if key in ("copyfiles", "addreg", "addservice"):
                # AddService = name, flags, service-install-section
                referenced = targets[2:3] if key == "addservice" else targets
                for target in referenced:
                    if target.startswith("@"):
                        continue
                    if target.lower() not in sections:
                        problems.append(f"[{section}] names section [{target}], which is missing")
                    elif key == "copyfiles":
                        for _, entry in sections[target.lower()]:
                            if entry[0].lower() not in listed:
                                problems.append(f"{entry[0]} is copied but not in [SourceDisksFiles] "
                                                "(INF SourceDisksFiles section)")
                    elif key == "addreg":
                        for _, entry in sections[target.lower()]:
                            if entry[0].upper() != "HKR":
                                problems.append(f"[{target}] writes under {entry[0]}; settings go under HKR only "
                                                "(Using a Universal INF File, AddReg)")
    return problems


def windows10_problems(sections):
    problems = []
    klass = version_value(sections, "class")
    if klass in RESERVED_CLASSES:
        problems.append(f"class {klass} is reserved for the platform's own drivers; a custom USB device takes "
                        "USBDevice (USB device class drivers included in Windows)")
    if version_value(sections, "catalogfile") is None:
        problems.append("[Version] has no CatalogFile (INF Version section: a signed driver package names its "
                        "catalog)")
    if version_value(sections, "pnplockdown") != "1":
        problems.append("[Version] has no PnpLockdown=1 (INF Version section; driver package isolation)")
    for key, entry in sections.get("destinationdirs", []):
        if entry[0] != "13":
            problems.append(f"DestinationDirs {key} is DIRID {entry[0]}, not 13 (Run from driver store)")
    for name, section in sections.items():
        for key, entry in section:
            if key == "servicebinary" and not entry[0].startswith("%13%"):
                problems.append(f"[{name}] ServiceBinary {entry[0]} is not under %13% (Run from driver store)")
            if key in NOT_UNIVERSAL_DIRECTIVES:
                problems.append(f"[{name}] uses {key}, not valid in a universal INF (Using a Universal INF File)")
        if name.startswith(NOT_UNIVERSAL_SECTIONS) or any(name.endswith(s) for s in NOT_UNIVERSAL_SECTIONS):
            problems.append(f"section [{name}] is not valid in a universal INF (Using a Universal INF File)")
        if name == "defaultinstall":
            problems.append("[DefaultInstall] without an architecture is not valid in a universal INF "
                            "(INF DefaultInstall section)")
    for _, decorations in sections.get("manufacturer", []):
        if len(decorations) < 2:
            problems.append("[Manufacturer] names no decorated models section (INF Manufacturer section)")
        for decoration in decorations[1:]:
            if not DECORATION.match(decoration):
                problems.append(f"models decoration {decoration} names more than an architecture and a version "
                                "(Using a Universal INF File: no ProductType or SuiteMask)")
    return problems


def main(argv):
    windows10 = "--windows10" in argv[1:]
    paths = [a for a in argv[1:] if a != "--windows10"]
    if len(paths) != 1:
        print("usage: lint-inf.py [--windows10] INF", file=sys.stderr)
        return 2
    try:
        sections = parse(paths[0])
        problems = general_problems(sections) + (windows10_problems(sections) if windows10 else [])
    except (OSError, UnicodeDecodeError, IndexError) as error:
        problems = [str(error)]
    for problem in problems:
        print(f"lint-inf: {paths[0]}: {problem}", file=sys.stderr)
    if problems:
        return 1
    print(f"{paths[0]}: passes the INF lint" + (" for Windows 10 and 11" if windows10 else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
