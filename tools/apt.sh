#!/usr/bin/env bash
# apt-get, tried again when a download fails: a Debian mirror answers with a
# half-synced index ("Mirror sync in progress?") or drops a download now and
# then. Four tries, waiting 15, 30 and 60 seconds between them; a failure
# that is not a download's (a package that cannot be installed) is not tried
# again. The last failure's exit code is the script's.
#   tools/apt.sh ARGUMENT...   as apt-get ARGUMENT...
set -uo pipefail
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
wait_seconds=15
for attempt in 1 2 3 4; do
  apt-get -o Acquire::Retries=3 "$@" 2>"$errors"
  code=$?
  cat "$errors" >&2
  [ $code -ne 0 ] || exit 0
  grep -qE 'Failed to fetch|Unable to fetch|failed to download|Temporary failure|Could not (connect|resolve)' "$errors" || break
  [ $attempt -lt 4 ] || break
  echo "apt.sh: apt-get could not download (exit $code, try $attempt of 4); again in ${wait_seconds} s" >&2
  sleep $wait_seconds
  wait_seconds=$((wait_seconds * 2))
done
exit $code
