#!/usr/bin/env bash
# Makes this machine run 32-bit programs: i386 ELF through qemu user
# emulation (registered with binfmt_misc), and PE32 through wine32 on top.
# Idempotent: a machine already set up costs a few checks. Needs root.
#   tests/wine/setup32.sh
# qemu comes from bookworm-backports (qemu 10: bookworm's 7.2 spends about
# 50 s starting every 32-bit Wine process); apt reads that archive through
# a sources folder, lists and cache under build/, so /etc/apt is untouched.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dir=$root/build/qemu
qemu=$dir/qemu-i386
binfmt=/proc/sys/fs/binfmt_misc

fail() {
  echo "setup32: $*" >&2
  exit 1
}

if [ ! -e "$binfmt/register" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
    fail "cannot mount binfmt_misc on $binfmt: 32-bit programs cannot run here"
fi

# A static qemu-i386 of major version 10 or later.
qemu_major() { "$1" --version 2>/dev/null | sed -n '1s/.*version \([0-9]*\)\..*/\1/p'; }
if [ "$(qemu_major "$qemu" || true)" = "" ] || [ "$(qemu_major "$qemu")" -lt 10 ]; then
  mkdir -p "$dir/sources" "$dir/lists/partial" "$dir/cache/archives/partial"
  uri=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
  printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "${uri:-http://deb.debian.org/debian}" > "$dir/sources/backports.sources"
  apt=(-qq -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$dir/sources"
       -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache"
       -o APT::Architectures=amd64 -o APT::Sandbox::User=root)
  "$root/tools/apt.sh" "${apt[@]}" update || fail "cannot read bookworm-backports"
  rm -f "$dir"/qemu-user_*.deb
  (cd "$dir" && "$root/tools/apt.sh" "${apt[@]}" download qemu-user) || fail "cannot download qemu-user"
  dpkg-deb --fsys-tarfile "$dir"/qemu-user_*.deb | tar -x -O ./usr/bin/qemu-i386 > "$qemu.new"
  chmod 755 "$qemu.new"
  mv "$qemu.new" "$qemu"
  rm -f "$dir"/qemu-user_*.deb
fi

# The i386 entry, flags POF: the kernel opens the interpreter once (F), so
# it works inside any root and even after build/ is gone. An entry whose
# interpreter is not a qemu 10 is replaced.
entry=$binfmt/qemu-i386
registered=$(sed -n 's/^interpreter //p' "$entry" 2>/dev/null || true)
if [ -z "$registered" ] || ! grep -qx 'flags: POF' "$entry" ||
   [ "$(qemu_major "$registered" || true)" != "$(qemu_major "$qemu")" ]; then
  [ -e "$entry" ] && echo -1 > "$entry"
  echo ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\xfc\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':POF' \
    > "$binfmt/register" || fail "cannot register qemu-i386 with binfmt_misc"
fi
[ "$(cat "$binfmt/status")" = enabled ] || echo 1 > "$binfmt/status"

# wine32 beside wine64, Wine's own fonts for both; the i386 compiler and
# libraries of the native 32-bit build (tools/packages.txt).
"$root/tools/need.sh" wine wine32 i386 || fail "cannot install the 32-bit packages"

# A prefix made before wine32 was here has no 32-bit system: make it anew.
shopt -s nullglob
for system in "$root"/build/wine/*/drive_c/windows; do
  [ -e "$system/syswow64/kernel32.dll" ] || rm -rf "${system%/drive_c/windows}"
done
