#!/usr/bin/env bash
# apt-get, tried again when it fails: a Debian mirror answers with a
# half-synced index ("Mirror sync in progress?") or drops a download now and
# then, and a fresh machine has no older index to fall back on. Five tries,
# waiting 15, 30, 60 and 120 seconds between them; the last failure's exit
# code is the script's.
#   tools/apt.sh ARGUMENT...   as apt-get ARGUMENT...
set -uo pipefail
wait_seconds=15
for attempt in 1 2 3 4 5; do
  apt-get -o Acquire::Retries=3 "$@" && exit 0
  code=$?
  [ $attempt -lt 5 ] || break
  echo "apt.sh: apt-get failed (exit $code, try $attempt of 5); again in ${wait_seconds} s" >&2
  sleep $wait_seconds
  wait_seconds=$((wait_seconds * 2))
done
exit $code
