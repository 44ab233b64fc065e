#!/usr/bin/env bash
# The main job on the sample document, then the device tree it left behind.
set -euo pipefail
build=${1:-build/default}
tool="$build/norvusb"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

page="$build/testpage.png"
echo "== norvusb print examples/testpage.ps"
"$tool" print examples/testpage.ps --out "$out/received.prn" --pcap "$out/demo.pcap" --render "$page"
echo
echo "The page as the printer received it, drawn by Ghostscript: $page"
echo
echo "== norvusb enum --bridges 3"
"$tool" enum --bridges 3
