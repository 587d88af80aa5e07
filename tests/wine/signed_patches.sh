#!/usr/bin/env bash
# Patches as people who ship them make them: signed with Authenticode. A
# throw-away certificate (openssl), each architecture's patch signed with
# osslsigncode as the README shows, the signature verified and reported by
# `selfpatch info`, and the signed patch applied natively and under Wine
# (x64 under wine64, x86 under wine32). The signature covers the package:
# one byte flipped in it fails both `osslsigncode verify` and the package's
# own digest. Then a file whose name changes only in case is patched under
# Wine, where names compare as on Windows, into NEW's content and spelling.
#   tests/wine/signed_patches.sh SELFPATCH STUB_X86 STUB_X64
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
tool=$(realpath "$1")
declare -A stub=([x86]=$(realpath "$2") [x64]=$(realpath "$3"))
work=$root/build/signed-patches
rm -rf "$work"
mkdir -p "$work"
cd "$work"

fail() {
  echo "signed patches: FAIL: $*" >&2
  exit 1
}
# The silent applier in a folder, as Windows names it from here.
apply_under_wine() {
  "$root/tests/wine/wine.sh" "$1" /S "/D=Z:${2//\//\\}" 2>/dev/null
}

mkdir -p old/bin new/bin new/data
seq 1 20000 >old/bin/app.exe
{ seq 1 9000; echo changed; seq 9001 20000; } >new/bin/app.exe
echo added >new/data/added.txt
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem \
  -days 2 -subj "/CN=selfpatch test signer" 2>/dev/null

for arch in x86 x64; do
  "$tool" create old new -o patch-$arch.exe --stub "${stub[$arch]}" -q >/dev/null
  osslsigncode sign -certs cert.pem -key key.pem -n "selfpatch test patch" \
    -in patch-$arch.exe -out signed-$arch.exe >/dev/null
  osslsigncode verify -CAfile cert.pem -in signed-$arch.exe >verify-$arch.log 2>&1 ||
    fail "$arch: osslsigncode verify: $(tail -3 verify-$arch.log)"
  "$tool" info signed-$arch.exe | grep -q '^signature: Authenticode' ||
    fail "$arch: info does not report the signature"
  "$tool" info patch-$arch.exe | grep -q '^signature: none' ||
    fail "$arch: info reports a signature on an unsigned patch"

  cp -r old native-$arch
  "$tool" apply signed-$arch.exe native-$arch -y -q >/dev/null ||
    fail "$arch: selfpatch apply of the signed patch"
  diff -r new native-$arch >/dev/null || fail "$arch: native apply differs from NEW"
  cp -r old wine-$arch
  apply_under_wine signed-$arch.exe "$work/wine-$arch" ||
    fail "$arch: the signed applier under Wine exits $?"
  diff -r new wine-$arch >/dev/null || fail "$arch: apply under Wine differs from NEW"

  # One byte in the middle of the package, flipped (a package this small is
  # a few hundred bytes: a fixed distance can land in the signature after it).
  offset=$("$tool" info --json signed-$arch.exe |
    python3 -c 'import json, sys; i = json.load(sys.stdin); print(i["applier"]["size"] + i["packageSize"] // 2)')
  cp signed-$arch.exe flipped-$arch.exe
  python3 - flipped-$arch.exe $offset <<'PY'
import sys
with open(sys.argv[1], "r+b") as f:
    f.seek(int(sys.argv[2])); byte = f.read(1); f.seek(int(sys.argv[2]))
    f.write(bytes([byte[0] ^ 1]))
PY
  if osslsigncode verify -CAfile cert.pem -in flipped-$arch.exe >/dev/null 2>&1; then
    fail "$arch: osslsigncode verify passes a flipped byte in the package"
  fi
  status=0
  "$tool" info flipped-$arch.exe >/dev/null 2>&1 || status=$?
  [ $status = 5 ] || fail "$arch: info of a flipped byte exits $status, not 5"
done

# File.txt becomes file.txt: one file on Windows, patched in place.
mkdir -p case-old case-new
echo "old content" >case-old/File.txt
echo "new content" >case-new/file.txt
"$tool" create case-old case-new -o case.exe --stub "${stub[x64]}" -q >/dev/null
cp -r case-old case-wine
apply_under_wine case.exe "$work/case-wine" ||
  fail "case-only rename: the applier under Wine exits $?"
[ "$(ls case-wine)" = file.txt ] && diff case-new/file.txt case-wine/file.txt >/dev/null ||
  fail "case-only rename: the folder holds $(ls case-wine), not NEW's file.txt"
echo "signed patches: x86 and x64 signed, verified and applied natively and" \
  "under Wine; a flipped byte fails the signature and the digest; a case-only" \
  "rename applied under Wine"
