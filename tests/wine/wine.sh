#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's own prefix
# (build/wine/prefix; SELFPATCH_WINEPREFIX chooses another):
#   tests/wine/wine.sh PROGRAM.exe [ARGS...]
#   tests/wine/wine.sh wineserver [ARGS...]   (the prefix's own server)
# The prefix is made on first use, complete or not at all: Japanese fonts
# and a Japanese locale, a virtual desktop, no crash dialog. A GUI program
# started with no DISPLAY gets a virtual X display of its own.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=${SELFPATCH_WINEPREFIX:-$root/build/wine/prefix}

fail() {
  echo "wine.sh: $*" >&2
  exit 1
}

# What it needs (tools/packages.txt), said in one line when missing: the
# whole group before a prefix is made, the loader on every run; a PE32
# program (optional header magic 0x10b) also needs wine32 and qemu.
need() {
  why=$("$root/tools/need.sh" --check "$1" 2>&1) || fail "${2:-}$why"
}
[ -f "$prefix/selfpatch-ready" ] && [ -x /usr/lib/wine/wine64 ] || need wine
pe=$(od -An -tu4 -j60 -N4 "${1:-}" 2>/dev/null | tr -d ' ') || true
magic=$(od -An -tu2 -j$((${pe:-0} + 24)) -N2 "${1:-}" 2>/dev/null | tr -d ' ') || true
subsystem=$(od -An -tu2 -j$((${pe:-0} + 92)) -N2 "${1:-}" 2>/dev/null | tr -d ' ') || true
if [ "$magic" = 267 ]; then
  [ -x /usr/lib/wine/wine ] || need wine32 "$(basename "$1") is 32-bit: "
  [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ] ||
    fail "$(basename "$1") is 32-bit and this machine runs no 32-bit code (as root: make setup32)"
fi

export WINEARCH=win64 WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver
export TMPDIR=$prefix.tmp
mkdir -p "$TMPDIR"

# A Japanese locale of our own (no system file changes): message boxes'
# buttons read はい/いいえ, and one locale per prefix keeps its fonts.
locales=$root/build/wine/locale
exec 9>"$prefix.lock"
flock 9
mkdir -p "$locales"
[ -d "$locales/ja_JP.UTF-8" ] ||
  localedef -i ja_JP -f UTF-8 "$locales/ja_JP.UTF-8" >/dev/null 2>&1 || true
if [ -d "$locales/ja_JP.UTF-8" ]; then
  export LOCPATH=$locales LANG=ja_JP.UTF-8
fi

# A prefix is made under another name and renamed into place once its
# set-up is complete, so a set-up cut short is never reused; a step that
# fails says which and leaves nothing behind.
setup_failed() {
  rm -rf "$prefix.new"
  fail "cannot make the Wine prefix $prefix: $1"
}
if [ ! -f "$prefix/selfpatch-ready" ]; then
  if [ -e "$prefix" ] && [ "${prefix#"$root"/build/}" = "$prefix" ]; then
    fail "$prefix was not made here; remove it or choose another"
  fi
  rm -rf "$prefix" "$prefix.new"
  export WINEPREFIX=$prefix.new
  DISPLAY= "$WINELOADER" wineboot -i >/dev/null 2>&1 || true
  "$WINESERVER" -w
  [ -f "$WINEPREFIX/system.reg" ] || setup_failed "wineboot made no registry"
  # Wine copies its 1.3 GB of DLLs into every prefix: one copy serves all
  # of ours (Wine only reads them; a prefix update rewrites them alike).
  for sibling in "$root"/build/wine/*/selfpatch-ready; do
    sibling=${sibling%/selfpatch-ready}
    [ -d "$sibling" ] || continue
    for system in system32 syswow64; do
      [ -d "$sibling/drive_c/windows/$system" ] || continue
      hardlink -c -q -i '\.(dll|exe|drv|sys)$' "$sibling/drive_c/windows/$system" \
        "$WINEPREFIX/drive_c/windows/$system" || true
    done
    break
  done
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" ||
    setup_failed "no Wine fonts in /usr/share/wine/fonts"
  reg=$TMPDIR/selfpatch.reg
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\r\n"Desktop"="Default"\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\r\n"Default"="1024x768"\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\r\n"ShowCrashDialog"=dword:00000000\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
    for face in "ＭＳ Ｐゴシック" "MS PGothic" "MS UI Gothic" "MS Gothic" \
      "ＭＳ ゴシック" "Meiryo" "MS Shell Dlg" "MS Shell Dlg 2" "Tahoma"; do
      printf '"%s"="Noto Sans CJK JP"\r\n' "$face"
    done
  } | iconv -f UTF-8 -t UTF-16 >"$reg"
  DISPLAY= "$WINELOADER" regedit /S "Z:${reg//\//\\}" >/dev/null 2>&1 ||
    setup_failed "regedit refused the settings"
  "$WINESERVER" -w
  touch "$WINEPREFIX/selfpatch-ready"
  mv "$WINEPREFIX" "$prefix"
fi
flock -u 9
export WINEPREFIX=$prefix

if [ "${1:-}" = wineserver ]; then
  shift
  exec "$WINESERVER" "$@"
fi

# A GUI program (subsystem 2) started with no display gets one.
if [ -z "${DISPLAY:-}" ] && [ "$subsystem" = 2 ]; then
  # Xvfb takes a free display number and writes it to its stdout.
  coproc xvfb { exec Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null; }
  read -r display <&"${xvfb[0]}"
  trap "kill $xvfb_PID" EXIT
  export DISPLAY=:$display
  echo "wine.sh: no DISPLAY, so $(basename "$1") runs on virtual display" \
    "$DISPLAY (see it: import -display $DISPLAY -window root shot.png)" >&2
  "$WINELOADER" "$@"
else
  exec "$WINELOADER" "$@"
fi
