#!/usr/bin/env bash
# Signing with a throwaway self-signed certificate, made here and now:
#   signing_test.sh BUILT_EXE VERSION
# The signed package and the executable inside it verify against the
# certificate; an unsigned package, a package changed after signing and a
# package checked against another certificate do not.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
exe=$1 version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0 passed=0
check() {  # check DESCRIPTION EXPECTED(0|fail) COMMAND...
  local what=$1 expected=$2; shift 2
  if "$@" >"$work/last.log" 2>&1; then got=0; else got=fail; fi
  if [ "$got" = "$expected" ]; then
    passed=$((passed + 1)); echo "ok:   $what"
  else
    failures=$((failures + 1)); echo "FAIL: $what (expected $expected, got $got)"; sed 's/^/      /' "$work/last.log"
  fi
}
make_cert() {  # make_cert NAME
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$1" \
    -keyout "$work/$1.key" -out "$work/$1.pem" >/dev/null 2>&1
}
make_cert tvr-test-signer || { echo "FAIL: openssl could not make a certificate"; exit 1; }
make_cert tvr-other-signer || { echo "FAIL: openssl could not make a certificate"; exit 1; }

"$root/tools/package.sh" --exe "$exe" --version "$version" --out "$work/signed.msi" \
  --sign-cert "$work/tvr-test-signer.pem" --sign-key "$work/tvr-test-signer.key" || { echo "FAIL: signed packaging"; exit 1; }
"$root/tools/package.sh" --exe "$exe" --version "$version" --out "$work/unsigned.msi" || { echo "FAIL: packaging"; exit 1; }
mkdir "$work/extracted"
(cd "$work/extracted" && msiextract "$work/signed.msi" >/dev/null) || { echo "FAIL: msiextract"; exit 1; }
inner=$(find "$work/extracted" -name TVRSvc.exe | head -n 1)

verify() { osslsigncode verify -CAfile "$2" -in "$1"; }
check "signed package verifies" 0 verify "$work/signed.msi" "$work/tvr-test-signer.pem"
check "executable inside the signed package verifies" 0 verify "$inner" "$work/tvr-test-signer.pem"
check "the built executable itself stays unsigned" fail verify "$exe" "$work/tvr-test-signer.pem"
check "unsigned package does not verify" fail verify "$work/unsigned.msi" "$work/tvr-test-signer.pem"
check "signed package does not verify against another certificate" fail \
  verify "$work/signed.msi" "$work/tvr-other-signer.pem"
# One byte of the embedded cabinet changed after signing.
cp "$work/signed.msi" "$work/tampered.msi"
offset=$(grep -abo 'MSCF' "$work/tampered.msi" | head -n 1 | cut -d: -f1)
printf '\x5a' | dd of="$work/tampered.msi" bs=1 seek=$((offset + 4096)) conv=notrunc status=none
check "package changed after signing does not verify" fail verify "$work/tampered.msi" "$work/tvr-test-signer.pem"
check "signing with a certificate but no key is refused" fail \
  "$root/tools/package.sh" --exe "$exe" --version "$version" --out "$work/half.msi" --sign-cert "$work/tvr-test-signer.pem"

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
