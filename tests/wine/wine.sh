#!/usr/bin/env bash
# Runs a Windows program under wine64 in the project's own prefix
# (build/wine/prefix, made on first use), headless unless DISPLAY is set.
#   tests/wine/wine.sh PROGRAM.exe [ARGS...]
# SELFPATCH_WINEPREFIX chooses another prefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=${SELFPATCH_WINEPREFIX:-$root/build/wine/prefix}
export WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver
export WINEPREFIX=$prefix
export TMPDIR=$prefix.tmp
mkdir -p "$TMPDIR"

# One process makes the prefix; the others wait for it.
exec 9>"$prefix.lock"
flock 9
if [ ! -f "$prefix/system.reg" ]; then
  DISPLAY= "$WINELOADER" wineboot -i >/dev/null 2>&1 || true
  "$WINESERVER" -w
  # A crash must end the process with an error, not open a dialog.
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\r\n"ShowCrashDialog"=dword:00000000\r\n' \
    | iconv -f UTF-8 -t UTF-16 > "$TMPDIR/nocrashdialog.reg"
  DISPLAY= "$WINELOADER" regedit /S "$(winepath_dir=$TMPDIR; echo "Z:${winepath_dir//\//\\}\\nocrashdialog.reg")" >/dev/null 2>&1
  "$WINESERVER" -w
fi
flock -u 9
exec "$WINELOADER" "$@"
