#!/usr/bin/env bash
# The signed release: scripts/release with a throwaway code-signing certificate and key made here
# signs both exes (the tool and its self-test); osslsigncode accepts them against that certificate
# and refuses the tool once one byte is changed; the sums and the release notes match; and the
# signed exe passes the end-to-end smoke test under Wine.
# Usage: release_test.sh SOURCE_DIR E2E_TESTS LOG_WRITER
set -euo pipefail
source=$1 e2e=$2 writer=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
cd "$scratch"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
    -subj "/O=typekey-repair tests/CN=throwaway code signing" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" 2>/dev/null
head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n' >password
openssl pkcs12 -export -in cert.pem -inkey key.pem -out sign.p12 -passout file:password
"$source/scripts/release" --pkcs12 sign.p12 --password-file password --dist dist >release.log 2>&1 ||
    { cat release.log; fail "scripts/release"; }
unzip -q dist/typekey-repair-*.zip -d out
exe=out/typekey-repair.exe
for signed in "$exe" out/typekey-repair-selftest.exe; do
    osslsigncode verify -CAfile cert.pem -in "$signed" >verify.log 2>&1 ||
        { cat verify.log; fail "$signed not verified"; }
done
grep -q "^typekey-repair-selftest.exe (its self-test" out/RELEASE-NOTES.txt || fail "the notes do not name the self-test"
(cd out && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS"
thumbprint=$(openssl x509 -in cert.pem -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
grep -q "thumbprint: $thumbprint" out/RELEASE-NOTES.txt || fail "the notes do not name $thumbprint"
grep -q "subject:    CN=throwaway code signing,O=typekey-repair tests" out/RELEASE-NOTES.txt ||
    fail "the notes do not name the subject"
# One byte of the code changed: the signature no longer holds.
cp "$exe" changed.exe
offset=2048
byte=$(od -An -tu1 -j "$offset" -N 1 changed.exe | tr -d ' ')
printf "\\$(printf '%03o' $((byte ^ 0xFF)))" | dd of=changed.exe bs=1 seek="$offset" conv=notrunc 2>/dev/null
! osslsigncode verify -CAfile cert.pem -in changed.exe >/dev/null 2>&1 || fail "a changed exe verified"
# The signed exe, as the suite runs the tool.
"${TKR_WINE:-wine}" "$e2e" --tool="$scratch/$exe" --log-writer="$writer" \
    --gtest_filter='ToolTest.MixedTableGivesTheExactTranscriptLogAndKeys' >smoke.log 2>&1 ||
    { cat smoke.log; fail "the signed exe's smoke test"; }
echo "release ok: signed, verified, refused when changed, smoke test passed"
