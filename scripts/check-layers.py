#!/usr/bin/env python3
"""The host machine's rooms include only downward (part of `make test`).

Each folder of host/ has a rank; a file may include the headers of its own
room and of the rooms below it, never above. The driver's folders are not
included from host/ at all: the host machine runs the driver only through
the pointers it is given. Prints each wrong include; exits 1 on any.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Lowest first: the kernel's services, the I/O manager, the PnP and power
# managers, the USB stack, the bridge and printer models, the whole machine.
RANKS = {"kernel": 0, "io": 1, "pnp": 2, "usbstack": 3, "hardware": 4, "machine": 5}
DRIVER = ("driver/", "device/", "usb/", "io/", "enum/", "norvusb.h", "platform.h")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)

wrong = []
for room, rank in RANKS.items():
    for path in sorted((ROOT / "host" / room).rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        for target in INCLUDE.findall(path.read_text()):
            where = path.relative_to(ROOT)
            if target.startswith("host/"):
                above = target.split("/")[1]
                if RANKS.get(above, 99) > rank:
                    wrong.append(f"{where}: includes {target}, a room above host/{room}")
            elif target.startswith(DRIVER):
                wrong.append(f"{where}: includes the driver's {target}")
for line in wrong:
    print(line)
if wrong:
    print("check-layers: includes that run upward (see the header of each room)")
sys.exit(1 if wrong else 0)
