#!/usr/bin/env bash
# Runs the tests of a built tree that the given ctest options select:
#   scripts/run-tests.sh <dir> [ctest options...]
# It fails when they select no test at all (ctest alone calls that a success), so
# that a tree configured without its tests, or a label that matches nothing,
# cannot pass a run that ran nothing. Skipped tests are listed with their reason.
set -euo pipefail
dir=$1; shift
ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$(nproc)" "$@"
# A skipped test says why on a line of its own; CTest shows only "Skipped".
awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 } /^SKIPPED: / { print name ": " $0 }' \
  "$dir/Testing/Temporary/LastTest.log"
