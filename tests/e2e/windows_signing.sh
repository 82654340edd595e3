#!/usr/bin/env bash
# Signing the Windows files: with a certificate and key, scripts/package-windows
# signs the program, both libraries, the tools and the package, and the
# package holds the signed files; osslsigncode verifies each signature
# against the certificate, and a changed byte breaks it. Without them the
# files stay unsigned and the script says so.
# Usage: windows_signing.sh SOURCE_DIR WINDOWS_BUILD
set -u
src=$1 win=$2
fail=0
say() { echo "windows_signing: $*" >&2; }
bad() { say "FAIL: $*"; fail=1; }
for tool in openssl osslsigncode msiextract; do
  command -v $tool >/dev/null || { say "SKIP: $tool is missing (scripts/setup-deps-windows installs it)"; exit 77; }
done
mkdir -p "$win/test-tmp"
scratch=$(mktemp -d "$win/test-tmp/signing-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# A throw-away code-signing certificate.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$scratch/key.pem" -out "$scratch/cert.pem" -days 2 \
  -subj "/CN=PACS Vantora Driver test signer" -addext "extendedKeyUsage=codeSigning" >/dev/null 2>&1 ||
  { bad "openssl made no certificate"; exit 1; }
verify() { osslsigncode verify -CAfile "$scratch/cert.pem" -in "$1" >"$scratch/verify.out" 2>&1; }

msi=$(PVD_PACKAGE_DIR="$scratch/signed" PVD_SIGN_CERT="$scratch/cert.pem" PVD_SIGN_KEY="$scratch/key.pem" \
  "$src/scripts/package-windows" --no-build 2>"$scratch/package.err")
[ $? -eq 0 ] && [ -f "$msi" ] || { bad "packaging with a certificate failed: $(cat "$scratch/package.err")"; exit 1; }
grep -q 'signed' "$scratch/package.err" || bad "the script did not say it signed: $(cat "$scratch/package.err")"
files=(pacs-vantora-driver.exe vnfformat.dll FileControllerDll.dll vnfdump.exe demo-recorder.exe)
verify "$msi" || bad "the package's signature does not verify: $(cat "$scratch/verify.out")"
# The package holds the signed files, as installed.
msiextract -C "$scratch/extracted" "$msi" >/dev/null 2>&1 || bad "msiextract cannot read the package"
for f in "${files[@]}"; do
  installed=$(find "$scratch/extracted" -name "$f" | head -1)
  [ -n "$installed" ] || { bad "$f is not in the package"; continue; }
  verify "$installed" || bad "the packaged $f does not verify: $(cat "$scratch/verify.out")"
  grep -q 'PACS Vantora Driver test signer' "$scratch/verify.out" || bad "$f is not signed by the test certificate"
done
# A signature that verifies whatever the bytes would prove nothing.
cp "$scratch/signed/installer/files/vnfformat.dll" "$scratch/tampered.dll"
printf '\x01' | dd of="$scratch/tampered.dll" bs=1 seek=4096 conv=notrunc 2>/dev/null
verify "$scratch/tampered.dll" && bad "a changed library still verifies"

# Without a certificate: unsigned, and said so.
msi=$(PVD_PACKAGE_DIR="$scratch/unsigned" "$src/scripts/package-windows" --no-build 2>"$scratch/package.err")
grep -q 'stay unsigned' "$scratch/package.err" || bad "the script did not say the files stay unsigned"
verify "$msi" && bad "the package is signed without a certificate"
verify "$scratch/unsigned/installer/files/pacs-vantora-driver.exe" && bad "the program is signed without a certificate"

[ $fail -eq 0 ] && say "all checks passed"
exit $fail
