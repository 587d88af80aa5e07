#!/usr/bin/env bash
# selfpatch.exe as a Windows user runs it, under wine64, on the demo folders
# (copied below a Japanese folder name, so the arguments must arrive as
# Unicode): its patches are byte for byte those the Linux selfpatch makes of
# the same inputs, with either applier; a link in a tree stops it, as does
# an output that is an input in another case; and its
# apply turns a copy of the old folder into the new one, leaving nothing
# behind.
#   tests/wine/selfpatch_exe.sh SELFPATCH.exe LINUX_SELFPATCH
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
exe=$(realpath "$1")
linux=$(realpath "$2")
work=$root/build/selfpatch-exe
rm -rf "$work"
mkdir -p "$work/デモ"
cp -r "$root/examples/demo/v1" "$root/examples/demo/v2" "$work/デモ/"
cd "$work"

fail() {
  echo "selfpatch.exe: FAIL: $*" >&2
  exit 1
}
windows() { "$root/tests/wine/wine.sh" "$exe" "$@"; }

for arch in x86 x64; do
  windows create デモ/v1 デモ/v2 -o "windows-$arch.exe" --arch $arch -q \
    >windows-$arch.log || fail "create --arch $arch: $(cat windows-$arch.log)"
  "$linux" create デモ/v1 デモ/v2 -o "linux-$arch.exe" --arch $arch -q >/dev/null
  # A difference within the applier (the file's first part, `info` gives
  # its size) means the two tools embed different builds of it.
  difference=$(cmp "windows-$arch.exe" "linux-$arch.exe" 2>&1) ||
    fail "--arch $arch: the Windows and Linux patches differ: $difference"
done

# A link in a tree stops create, as on Linux (the Windows library follows
# links and junctions: the attributes tell), writing nothing.
cp -r デモ/v2 linked
ln -s "$work/デモ/v1" linked/old
status=0
windows create デモ/v1 linked -o linked.exe -q >linked.log 2>&1 || status=$?
[ $status = 1 ] && grep -q "a symbolic link, which selfpatch does not follow" \
  linked.log || fail "create through a link: status $status, $(cat linked.log)"
[ -z "$(ls linked.exe* 2>/dev/null)" ] || fail "create through a link wrote a file"

# An input named in another case is the same file on Windows: -o is
# refused (64), the input left as it was.
status=0
windows create デモ/v1 デモ/v2 -o デモ/V1/readme.txt -q >case.log 2>&1 || status=$?
[ $status = 64 ] && grep -q "lies inside OLD" case.log ||
  fail "-o an input in another case: status $status, $(cat case.log)"
cmp -s デモ/v1/readme.txt "$root/examples/demo/v1/readme.txt" ||
  fail "-o an input in another case replaced it"

cp -r デモ/v1 installed
windows apply windows-x86.exe installed --yes -q >apply.log ||
  fail "apply: $(cat apply.log)"
diff -r デモ/v2 installed >/dev/null || fail "apply: the folder is not the new one"
leftovers=$(find installed -name 'ptf*')
[ -z "$leftovers" ] || fail "apply left $leftovers"
echo "selfpatch.exe: create (x86, x64) matches the Linux patches byte for byte," \
  "refuses a link and an input as -o, apply gives the new folder"
