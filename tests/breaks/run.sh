#!/bin/sh
# Applies each break (a patch that plants a fault in the product) to the
# native build, runs the native tests, lists the tests that fail and takes
# the break out again. Every break must fail some test: the exit status is 1
# when one passes the suite. Run by hand from a clean tree after `make
# check`: tests/breaks/run.sh [tests/breaks/NN-name.patch ...]; LOCK names a
# file to hold (flock) while each break is built and run; BINARIES and
# FILTER (a --gtest_filter) narrow a rerun to the tests that caught a break.
set -u
cd "$(dirname "$0")/../.."
[ $# -gt 0 ] || set -- tests/breaks/*.patch
binaries=${BINARIES:-runtime_tests package_tests apply_tests ui_tests producer_tests cli_tests}
missed=0
for patch in "$@"; do
  name=$(basename "$patch" .patch)
  [ -n "${LOCK:-}" ] && exec 9>"$LOCK" && flock 9
  git apply "$patch" || { echo "$name: does not apply"; missed=1; continue; }
  caught=""
  if ! cmake --build --preset native -j2 --target $binaries \
      >"build/break-$name.log" 2>&1; then
    caught="(does not build)"
  else
    for binary in $binaries; do
      out=$(timeout 300 "build/native/tests/$binary" --gtest_brief=1 \
        ${FILTER:+--gtest_filter="$FILTER"} 2>&1)
      status=$?
      failed=$(printf '%s\n' "$out" | sed -n 's/^\[  FAILED  \] \([^ ,]*\).*/\1/p' | sort -u | tr '\n' ' ')
      [ $status -ne 0 ] && [ -z "$failed" ] && failed="$binary(exit $status)"
      caught="$caught$failed"
    done
  fi
  git apply -R "$patch"
  [ -n "${LOCK:-}" ] && exec 9>&-
  if [ -n "$caught" ]; then
    echo "$name: $caught"
  else
    echo "$name: NOT CAUGHT"
    missed=1
  fi
done
exit $missed
