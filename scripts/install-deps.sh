#!/usr/bin/env bash
# Installs what a fresh machine lacks to build, test and run NorvUSB.
# Uses Debian's packages only; needs root to install (or prints what to do).
#   scripts/install-deps.sh         everything `make test` needs
#   scripts/install-deps.sh --demo  what `make demo` needs: the program's
#                                   build packages and Ghostscript
set -euo pipefail

# The program itself: the driver, the host machine and the norvusb tool.
build_packages=(cmake ninja-build g++ nlohmann-json3-dev libcli11-dev libfmt-dev libpcap-dev libedit-dev)
# The demo draws the page it printed.
demo_packages=("${build_packages[@]}" ghostscript)

packages=(
  "${demo_packages[@]}" ccache clang libclang-rt-14-dev
  clang-tidy-14 llvm-14 lld
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  tshark zlib1g-dev python3 python3-pefile
  g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
  g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  wine wine32:i386 wine64
  # make package: the zip, the floppy image, the test signature, the check
  # of the images' version resources.
  zip unzip mtools openssl osslsigncode python3-pefile
)

case "${1:-}" in
  --demo) packages=("${demo_packages[@]}") ;;
  "") ;;
  *) echo "install-deps: unknown option $1 (--demo, or none)" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: run as root, or: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Wine's 32-bit half (wine32:i386) needs the i386 architecture.
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
