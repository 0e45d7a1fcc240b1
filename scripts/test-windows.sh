#!/usr/bin/env bash
# The Windows build, checked on Debian: builds the dependencies from Debian's source
# packages (cached after the first run), cross-builds the program and its unit
# tests with mingw-w64, makes the download zip and the installer (wixl) in
# build/windows, and runs the unit tests under Wine, each run with one Wine server
# of its own whose log is shown if it aborts. With --e2e it then runs the
# end-to-end suite against quillrade.exe under Wine, driven from the Linux build in
# build/release. With --build-only it stops after the build, the zip and the
# installer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --windows

prefix=$(scripts/build-windows-deps.sh)
# Wine keeps a server and its own service processes per prefix; end them with the
# run. A program killed by a test can leave Wine's service processes without their
# server, so those are found by the prefix in their environment and ended too.
stop_wine() {
  local dir proc
  for dir in build/windows/wine build/release/wine; do
    [ -d "$dir" ] || continue
    WINEPREFIX=$PWD/$dir /usr/lib/wine/wineserver -k 2>/dev/null || true
    for proc in /proc/[0-9]*; do
      if { tr '\0' '\n' <"$proc/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$PWD/$dir"; then
        kill "${proc#/proc/}" 2>/dev/null || true
      fi
    done
  done
}
trap stop_wine EXIT

echo "== build/windows"
scripts/build.sh build/windows -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DQR_WIN_DEPS_PREFIX="$prefix"
(cd build/windows && cpack -G ZIP >/dev/null && ls quillrade-*-windows-x64.zip)
scripts/build-msi.sh build/windows
[ "${1:-}" = "--build-only" ] && exit 0

# Runs the tests the given ctest options select (scripts/run-tests.sh, so a run
# that selects none fails) with one Wine server for the whole run; should the
# server itself abort (a fault of Wine, which takes down every program attached
# to it), its own words are shown beside the failed tests.
wine_ctest() {
  local dir=$1; shift
  local log=$dir/wineserver.log
  : >"$log"
  scripts/wine-run.sh --prefix "$PWD/$dir/wine" --server "$log"
  local status=0
  scripts/run-tests.sh "$dir" "$@" || status=$?
  if [ -s "$log" ]; then
    echo "Wine's server said (in $log):"
    cat "$log"
  fi
  WINEPREFIX=$PWD/$dir/wine /usr/lib/wine/wineserver -k 2>/dev/null || true
  return "$status"
}

wine_ctest build/windows

if [ "${1:-}" = "--e2e" ]; then
  echo "== e2e under Wine"
  scripts/build.sh build/release -DQR_WINDOWS_EXE="$PWD/build/windows/quillrade.exe"
  wine_ctest build/release -L e2e_wine
fi
