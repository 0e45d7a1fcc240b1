#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test three times: a plain build,
# under AddressSanitizer + UndefinedBehaviorSanitizer, and the threaded parts
# (labels platform, runtime and status) under ThreadSanitizer. After the plain
# run it builds the Debian package (build/deb/quillrade_*.deb), checks it without
# installing it, and then runs the service and the package under a real systemd in
# booted Debian containers (label container, docs/container.md; reported skipped
# where the machine cannot boot one). The ThreadSanitizer build uses clang, which
# also checks the lock annotations (-Wthread-safety) of the whole tree. Then the
# Windows build, cross-built with mingw-w64, with its unit tests and the
# end-to-end suite against quillrade.exe under Wine (scripts/test-windows.sh
# --e2e). The formatting is checked last, so that a layout slip does not hide the tests'
# results.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --test

jobs=$(nproc)
# Runs the tests of a built tree that the given ctest options select.
run_tests() {
  local dir=$1; shift
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@"
  # A skipped test says why on a line of its own; CTest shows only "Skipped".
  awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 } /^SKIPPED: / { print name ": " $0 }' \
    "$dir/Testing/Temporary/LastTest.log"
}

run_suite() {
  local dir=$1; shift
  local labels=$1; shift
  echo "== $dir"
  scripts/build.sh "$dir" "$@"
  if [ -n "$labels" ]; then
    run_tests "$dir" -L "$labels"
  else
    # e2e_wine: the Windows program's end-to-end runs, below in scripts/test-windows.sh.
    run_tests "$dir" -LE e2e_wine
  fi
}

echo "== build/release"
scripts/build.sh build/release
run_tests build/release -LE "container|e2e_wine"

echo "== package"
package_start=$SECONDS
scripts/build-deb.sh
package_built=$SECONDS
scripts/check-deb.sh
echo "package: built in $((package_built - package_start)) s, checked in $((SECONDS - package_built)) s"

echo "== containers"
run_tests build/release -L container
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp \
  run_suite build/asan "" -DQR_SANITIZE=address,undefined
CC=clang CXX=clang++ \
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp \
  run_suite build/tsan "platform|runtime|status" -DQR_SANITIZE=thread -DQR_THREAD_SAFETY=ON

scripts/test-windows.sh --e2e

echo "== formatting"
scripts/check-format.sh
