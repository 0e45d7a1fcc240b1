#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test three times: a plain build,
# under AddressSanitizer + UndefinedBehaviorSanitizer, and the threaded parts
# (labels platform, runtime and status) under ThreadSanitizer. The ThreadSanitizer
# build uses clang, which also checks the lock annotations (-Wthread-safety) of the
# whole tree. Then the Windows build: cross-built with mingw-w64 and its unit tests
# run under Wine (scripts/test-windows.sh). The formatting is checked last, so that
# a layout slip does not hide the tests' results.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --test

jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  local labels=$1; shift
  echo "== $dir"
  scripts/build.sh "$dir" "$@"
  if [ -n "$labels" ]; then
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" -L "$labels"
  else
    # e2e_wine: the Windows program's end-to-end runs, in scripts/test-windows.sh --e2e.
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" -LE e2e_wine
  fi
}

run_suite build/release ""
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp \
  run_suite build/asan "" -DQR_SANITIZE=address,undefined
CC=clang CXX=clang++ \
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp \
  run_suite build/tsan "platform|runtime|status" -DQR_SANITIZE=thread -DQR_THREAD_SAFETY=ON

scripts/test-windows.sh

echo "== formatting"
scripts/check-format.sh
