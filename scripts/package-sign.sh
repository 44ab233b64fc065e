#!/usr/bin/env bash
# make package SIGN=test, called by scripts/package.sh on the package's tree:
# signs x86/norvusb.sys and x64/norvusb.sys with a throwaway test
# certificate (Authenticode, SHA-256, with page hashes, as the x64 kernel
# checks a driver's pages as it loads them), verifies both signatures, and
# puts the certificate in the package as norvusb-test.cer.
#
# A test signature loads only on a machine in test mode that trusts this
# certificate (README.txt); nothing built here passes the platform's own
# signing. The certificate and its key stay in build/testsign/ (with a
# .pfx for signtool), so that a second package is signed by the same one.
#
# No catalog (.cat): Debian has no tool that makes one (osslsigncode signs
# one that exists). On Windows: Inf2Cat, then signtool with the .pfx.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "package: $*" >&2; exit 1; }
[ $# -eq 1 ] && [ -d "$1" ] || fail "usage: package-sign.sh PACKAGE-FOLDER"
pkg=$1
keys=$root/build/testsign
key=$keys/norvusb-test.key
cert=$keys/norvusb-test.pem
: "${SOURCE_DATE_EPOCH:?}"

if [ ! -f "$key" ] || [ ! -f "$cert" ]; then
  mkdir -p "$keys"
  openssl req -x509 -newkey rsa:3072 -sha256 -nodes -days 3650 \
    -subj "/O=NorvUSB/CN=NorvUSB test signing" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=critical,digitalSignature,keyCertSign" \
    -keyout "$key" -out "$cert" 2>"$keys/openssl.log" || fail "making the test certificate failed (see $keys/openssl.log)"
  openssl pkcs12 -export -inkey "$key" -in "$cert" -name "NorvUSB test signing" -passout pass: \
    -out "$keys/norvusb-test.pfx" || fail "writing the .pfx failed"
  echo "package: a new test certificate in $keys"
fi
openssl x509 -in "$cert" -outform DER -out "$pkg/norvusb-test.cer"

# The signing time is the package's date, or the certificate's first day
# when that is later (a signature older than its certificate would be odd):
# the same key signs the same image to the same bytes.
valid_from=$(date -u -d "$(openssl x509 -noout -startdate -in "$cert" | cut -d= -f2)" +%s)
signing_time=$(( SOURCE_DATE_EPOCH > valid_from ? SOURCE_DATE_EPOCH : valid_from ))
for arch in x86 x64; do
  image=$pkg/$arch/norvusb.sys
  osslsigncode sign -certs "$cert" -key "$key" -h sha256 -ph -n "NorvUSB USB to IEEE 1284 bridge driver" \
    -time "$signing_time" -in "$image" -out "$image.signed" >"$keys/sign-$arch.log" 2>&1 ||
    { cat "$keys/sign-$arch.log"; fail "signing $arch/norvusb.sys failed"; }
  mv "$image.signed" "$image"
  osslsigncode verify -CAfile "$cert" -in "$image" >"$keys/verify-$arch.log" 2>&1 ||
    { cat "$keys/verify-$arch.log"; fail "the signature of $arch/norvusb.sys does not verify"; }
  grep -q '^Signature verification: ok' "$keys/verify-$arch.log" ||
    fail "osslsigncode did not report the signature of $arch/norvusb.sys as ok"
  grep -qi 'page hash' "$keys/verify-$arch.log" || fail "$arch/norvusb.sys was signed without page hashes"
done
echo "package: x86 and x64 norvusb.sys signed with the test certificate; signatures verified"
