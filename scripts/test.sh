#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test three times: a plain build,
# under AddressSanitizer + UndefinedBehaviorSanitizer, and the threaded parts
# (labels platform, runtime, status, engine and host) under ThreadSanitizer.
# After the plain run it builds the Debian package (build/deb/quillrade_*.deb),
# checks it without installing it, and then runs the service and the package
# under a real systemd in booted Debian containers (label container,
# docs/container.md; reported skipped where the machine cannot boot one). The
# ThreadSanitizer build uses clang, which also checks the lock annotations
# (-Wthread-safety) of the whole tree. Then the Windows build, cross-built with
# mingw-w64, with its unit tests and the end-to-end suite against quillrade.exe
# under Wine (scripts/test-windows.sh --e2e). The formatting is checked last, so
# that a layout slip does not hide the tests' results.
#
# This is the complete gate that .ci/run calls. For development,
#   scripts/test.sh --quick
# runs only the plain build's unit and end-to-end tests and then the formatting
# (no package, containers, sanitizers or Wine; a few minutes). Each tree is
# configured with its tests on (scripts/build.sh) and each test run fails when it
# selects no test (scripts/run-tests.sh), so no stage can pass having run nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
case "${1:-}" in
  "") ;;
  --quick) quick=1 ;;
  *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac
scripts/install-deps.sh --test

run_suite() {
  local dir=$1; shift
  local labels=$1; shift
  echo "== $dir"
  scripts/build.sh "$dir" "$@"
  if [ -n "$labels" ]; then
    scripts/run-tests.sh "$dir" -L "$labels"
  else
    # e2e_wine: the Windows program's end-to-end runs, below in scripts/test-windows.sh.
    scripts/run-tests.sh "$dir" -LE e2e_wine
  fi
}

echo "== build/release"
scripts/build.sh build/release
scripts/run-tests.sh build/release -LE "container|e2e_wine"
if [ "$quick" = 1 ]; then
  scripts/check-format.sh
  exit 0
fi

echo "== package"
package_start=$SECONDS
scripts/build-deb.sh
package_built=$SECONDS
scripts/check-deb.sh
echo "package: built in $((package_built - package_start)) s, checked in $((SECONDS - package_built)) s"

echo "== containers"
scripts/run-tests.sh build/release -L container
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp \
  run_suite build/asan "" -DQR_SANITIZE=address,undefined
CC=clang CXX=clang++ \
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp \
  run_suite build/tsan "platform|runtime|status|engine|host" -DQR_SANITIZE=thread

scripts/test-windows.sh --e2e

echo "== formatting"
scripts/check-format.sh
