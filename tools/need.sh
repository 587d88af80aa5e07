#!/usr/bin/env bash
# Installs the packages of the named groups of tools/packages.txt that are
# missing (apt-get, as root), or with --check only names them:
#   tools/need.sh GROUP...           install what is missing
#   tools/need.sh --check GROUP...   exit 1 with one line naming what is
#                                    missing, installing nothing
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list=$root/tools/packages.txt
check=0
[ "${1:-}" = --check ] && { check=1; shift; }

wanted=()
for group in "$@"; do
  line=$(grep -m1 "^$group:" "$list" || true)
  [ -n "$line" ] || { echo "need.sh: no group '$group' in $list" >&2; exit 2; }
  read -r -a names <<<"${line#*:}"
  wanted+=("${names[@]}")
done
[ ${#wanted[@]} -gt 0 ] || exit 0

# One query for all: a package dpkg does not know prints nothing.
installed=$(dpkg-query -W -f='${binary:Package} ${db:Status-Status}\n' "${wanted[@]}" 2>/dev/null |
  awk '$2 == "installed" { sub(/:amd64$/, "", $1); print $1 }' || true)
missing=()
for package in "${wanted[@]}"; do
  grep -qxF "$package" <<<"$installed" || missing+=("$package")
done
[ ${#missing[@]} -gt 0 ] || exit 0

if [ $check -eq 1 ]; then
  echo "missing ${missing[*]} (as root: tools/need.sh $*)" >&2
  exit 1
fi
[ "$(id -u)" = 0 ] || { echo "need.sh: installing ${missing[*]} needs root" >&2; exit 1; }
echo "installing: ${missing[*]}"
exec 8>/tmp/selfpatch-apt.lock
flock 8
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
   ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
install_missing() {
  "$root/tools/apt.sh" "$@" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
updated=1
"$root/tools/apt.sh" update -qq || updated=0
install_missing && exit 0
[ $updated -eq 0 ] || { echo "need.sh: cannot install ${missing[*]}" >&2; exit 1; }
# An index that would not download leaves apt with the other suites' lists.
# When it is the security archive's, the packages of one architecture can be
# newer there than the other's copies of them (libssl3 against libssl3:i386),
# and nothing installs: install again from the release and its updates
# alone, where every architecture has the same versions, taking their
# versions over newer ones installed before (a download of the security
# archive's amd64 half that did work) and removing nothing.
echo "need.sh: installing from the release and its updates alone" >&2
sources=$(mktemp -d)
trap 'rm -rf "$sources"' EXIT
mkdir "$sources/parts" "$sources/preferences.d"
for file in /etc/apt/sources.list.d/*.sources; do
  [ -e "$file" ] || continue
  awk 'BEGIN { RS = ""; ORS = "\n\n" } !/Suites:[^\n]*-security/' "$file" >"$sources/parts/${file##*/}"
done
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -e "$file" ] || continue
  grep -v -- '-security' "$file" || true
done >"$sources/sources.list"
printf 'Package: *\nPin: release o=Debian\nPin-Priority: 1001\n' >"$sources/preferences"
install_missing -o "Dir::Etc::SourceList=$sources/sources.list" -o "Dir::Etc::SourceParts=$sources/parts" \
  -o "Dir::Etc::Preferences=$sources/preferences" -o "Dir::Etc::PreferencesParts=$sources/preferences.d" \
  --allow-downgrades --no-remove ||
  { echo "need.sh: cannot install ${missing[*]}" >&2; exit 1; }
