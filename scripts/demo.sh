#!/usr/bin/env bash
# The main job on the sample document, then the device tree it left behind.
# Works from any folder: a relative build folder is the caller's, the rest
# is found from the project's own folder.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build/default}
case $build in /*) ;; *) build=$PWD/$build ;; esac
tool="$build/norvusb"
cd "$root"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

page="$build/testpage.png"
capture="$build/demo.pcap"
echo "== norvusb print examples/testpage.ps"
# Free-running: the bus lets the machine settle at every frame boundary, so
# the figures repeat as the README gives them.
"$tool" print examples/testpage.ps --out "$out/received.prn" --pcap "$capture" --render "$page"
echo
echo "The page as the printer received it, drawn by Ghostscript: $page"
echo "Every USB packet of the print, for Wireshark or tshark -r: $capture"
echo
echo "== norvusb enum --bridges 3 --tree"
"$tool" enum --bridges 3 --tree
echo
echo "Next, print something of your own and watch the port:"
echo "  echo hello | $build/norvusb print        # standard input, as lp reads it"
echo "  $build/norvusb run                       # a session: type status, print FILE, printer offline, help"
