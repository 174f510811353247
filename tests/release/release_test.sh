#!/usr/bin/env bash
# The release as an administrator receives it: the package target run with a
# throw-away code-signing certificate; both programs' signatures verify
# against it and break at a changed byte; SHA256SUMS holds for the unpacked
# zip, whose own SHA-256 the build printed; and the signed Quillstone.exe
# starts, supervises the stand-in and ends in order under Wine.
#
#   release_test.sh WINDOWS_BUILD_FOLDER
set -uo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'wine taskkill /f /im Quillstone.exe >/dev/null 2>&1; wine taskkill /f /im Marlowcast.exe >/dev/null 2>&1; rm -rf "$work"' EXIT
fail() {
  echo "FAILED: $*"
  exit 1
}

# An authority and a code-signing certificate from it, for this run only.
cd "$work" || exit 1
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj "/CN=Quillstone Test Signing Authority" \
  -keyout ca.key -out ca.pem -addext basicConstraints=critical,CA:TRUE 2>/dev/null || fail "making the authority"
openssl req -newkey rsa:2048 -nodes -subj "/CN=Quillstone Test Publisher" -keyout publisher.key -out publisher.csr \
  2>/dev/null || fail "making the certificate request"
printf 'extendedKeyUsage=codeSigning\nkeyUsage=critical,digitalSignature\nbasicConstraints=CA:FALSE\n' >publisher.ext
openssl x509 -req -in publisher.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -sha256 -extfile publisher.ext \
  -out publisher.pem 2>/dev/null || fail "signing the certificate"
cat publisher.pem ca.pem >chain.pem

QUILLSTONE_SIGN_CERT=$work/chain.pem QUILLSTONE_SIGN_KEY=$work/publisher.key \
  cmake --build "$build" --target package >package.log 2>&1 || { cat package.log; fail "the package target"; }
grep -q "Release signed" package.log || fail "the package did not say it was signed"
zips=("$build"/Quillstone-*-win64.zip)
[ ${#zips[@]} -eq 1 ] || fail "expected one release zip, found ${#zips[@]}"
zip=${zips[0]}
grep -q "$(sha256sum "$zip" | cut -d' ' -f1)  $(basename "$zip")" package.log || fail "the zip's SHA-256 was not printed"

mkdir release && unzip -q "$zip" -d release || fail "unzip"
[ "$(cd release && ls | sort | tr '\n' ' ')" = "Quillstone.exe README.md SHA256SUMS uibpack.exe " ] ||
  fail "the zip holds $(cd release && ls | tr '\n' ' ')"
(cd release && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS"

for program in Quillstone.exe uibpack.exe; do
  osslsigncode verify -CAfile ca.pem -in "release/$program" >verify.log 2>&1 || { cat verify.log; fail "$program's signature"; }
  cp "release/$program" tampered.exe
  printf 'X' | dd of=tampered.exe bs=1 seek=8192 conv=notrunc 2>/dev/null
  if osslsigncode verify -CAfile ca.pem -in tampered.exe >/dev/null 2>&1; then
    fail "a changed byte in $program still verified"
  fi
done

# The signed program still runs: it starts Marlowcast, and a close request
# (taskkill without /f) ends it in order.
cp "$build/bin/Marlowcast.exe" release/
(cd release && exec wine Quillstone.exe >/dev/null 2>&1) &
supervisor=$!
for _ in $(seq 150); do
  grep -q ' start ' release/Marlowcast.log 2>/dev/null && break
  sleep 0.1
done
grep -q ' start ' release/Marlowcast.log 2>/dev/null || fail "the signed Quillstone.exe did not start Marlowcast"
sleep 1
wine taskkill /im Quillstone.exe >/dev/null 2>&1
for _ in $(seq 300); do
  kill -0 "$supervisor" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$supervisor" 2>/dev/null && fail "the signed Quillstone.exe did not end when asked to close"
echo "release: signed, summed and running"
