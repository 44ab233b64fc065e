#!/usr/bin/env bash
# make package [SIGN=test]: what a person with the cable installs
# (docs/windows.md). Builds only what it ships, from any tree (a clean clone
# needs nothing else first): norvusb.sys for x86 and x64 and the 32-bit
# norvusb.exe. Then dist/norvusb-VERSION/ (x86/norvusb.sys,
# x64/norvusb.sys, every win32/*.inf, norvusb.exe, README.txt, LICENSE; with
# SIGN=test also the test certificate), and from that same tree
# dist/norvusb-VERSION.zip, the 2.88 MB floppy image
# dist/norvusb-VERSION.img and dist/SHA256SUMS.
#
# Reproducible: every date in the output is SOURCE_DATE_EPOCH (by default
# the last commit's time), so the same commit gives the same bytes.
#   DIST=DIR  writes there instead of dist/ (the Wine stage of make test)
#   SIGN=test signs both drivers with a throwaway test certificate
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
fail() { echo "package: $*" >&2; exit 1; }

version=$(head -n 1 VERSION)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "VERSION holds \"$version\", not MAJOR.MINOR.PATCH"
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) || fail "no SOURCE_DATE_EPOCH and no git history to take it from"
fi
[[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] || fail "SOURCE_DATE_EPOCH is \"$SOURCE_DATE_EPOCH\", not a number of seconds"
# A zip and a FAT directory hold local times with no zone: UTC, wherever built.
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C
sign=${SIGN:-}
case "$sign" in "" | none | test) ;; *) fail "SIGN=$sign: the only signing here is SIGN=test" ;; esac
dist=${DIST:-$root/dist}
name=norvusb-$version
pkg=$dist/$name
python=/usr/bin/python3  # Debian's, which has python3-pefile

# ---- build what ships, and nothing else
build() {  # preset, targets...
  local preset=$1
  shift
  cmake --preset "$preset" >"$root/build/package-$preset.log" 2>&1 ||
    { tail -n 30 "$root/build/package-$preset.log"; fail "configuring $preset failed"; }
  cmake --build --preset "$preset" --target "$@" >>"$root/build/package-$preset.log" 2>&1 ||
    { tail -n 30 "$root/build/package-$preset.log"; fail "building $* ($preset) failed"; }
}
mkdir -p build
build win64 norvusb.sys
build win32 norvusb.sys norvusb.exe
for f in build/win32/norvusb.sys build/win64/norvusb.sys build/win32/norvusb.exe; do
  [ -f "$f" ] || fail "$f was not built"
done

# Each image says the release it belongs to.
"$python" - "$version" build/win32/norvusb.sys build/win64/norvusb.sys build/win32/norvusb.exe <<'EOF' ||
import sys, pefile
want = sys.argv[1]
for path in sys.argv[2:]:
    pe = pefile.PE(path, fast_load=False)
    got = None
    for info in getattr(pe, "FileInfo", []) or []:
        for block in info:
            for table in getattr(block, "StringTable", []):
                got = table.entries.get(b"FileVersion", got)
    if got is None or got.decode() != want:
        sys.exit(f"package: {path}: FileVersion {got!r}, VERSION says {want}")
    if pe.FILE_HEADER.TimeDateStamp != 0:
        sys.exit(f"package: {path}: a time stamp in its PE header")
EOF
  exit 1

# ---- the tree
rm -rf "$pkg" "$pkg.zip" "$pkg.img" "$dist/SHA256SUMS"
mkdir -p "$pkg/x86" "$pkg/x64"
cp build/win32/norvusb.sys "$pkg/x86/"
cp build/win64/norvusb.sys "$pkg/x64/"
cp build/win32/norvusb.exe "$pkg/"
# Text files in the system's own line ends, which Notepad on Windows 98 and
# the INF readers of every target take.
crlf() { sed 's/\r$//; s/$/\r/' "$1" >"$2"; }
driver_date=$(date -u -d "@$SOURCE_DATE_EPOCH" +%m/%d/%Y)
for inf in win32/*.inf; do
  grep -q '^DriverVer *=' "$inf" || fail "$inf has no DriverVer line"
  sed "s|^DriverVer *=.*|DriverVer   = $driver_date,$version.0|" "$inf" | crlf /dev/stdin "$pkg/$(basename "$inf")"
done
sed "s|@VERSION@|$version|g" win32/README.txt | crlf /dev/stdin "$pkg/README.txt"
crlf LICENSE "$pkg/LICENSE"

if [ "$sign" = test ]; then
  scripts/package-sign.sh "$pkg"
fi

# The zip keeps modes and times: the same ones whatever the umask and clock.
find "$pkg" -type d -exec chmod 755 {} +
find "$pkg" -type f -exec chmod 644 {} +
find "$pkg" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

# ---- the zip: the tree in name order, no extra fields (owner, times
# beyond the DOS one), no directory entries.
(cd "$dist" && find "$name" -type f | sort | zip -q -X -D -@ "$name.zip")

# ---- the floppy: FAT12, fixed serial number and label. 2.88 MB: the static
# tool alone is larger than a 1.44 MB disk holds beside the drivers.
mformat -i "$pkg.img" -C -f 2880 -N 12841284 -v NORVUSB ::
(cd "$pkg" && find . -mindepth 1 -type d | sort | sed 's|^\./||' | while read -r d; do mmd -i "$pkg.img" "::$d"; done)
(cd "$pkg" && find . -type f | sort | sed 's|^\./||' | while read -r f; do
  mcopy -i "$pkg.img" -m "$f" "::$f" || fail "$f does not fit on the floppy"
done)

(cd "$dist" && { find "$name" -type f | sort | xargs sha256sum; sha256sum "$name.zip" "$name.img"; } >SHA256SUMS)
echo "package: $pkg.zip, $pkg.img and $dist/SHA256SUMS (NorvUSB $version${sign:+, signed: $sign})"
echo "package: floppy image: $(mdir -i "$pkg.img" :: | grep 'bytes free' | sed 's/^ *//')"
