#!/usr/bin/env bash
# Runs a Windows program under Debian's 64-bit Wine, quietly and headless:
#   scripts/wine-run.sh [--prefix <wine prefix>] <program.exe> [arguments...]
#   scripts/wine-run.sh [--prefix <wine prefix>] --server <log file>
# The exit code is the program's. With --server it starts the prefix's Wine server
# to stay until `wineserver -k`, its diagnostics in the log, and returns: the
# programs of a test run then share one server instead of each starting and
# ending its own, and an abort of the server is on record. The prefix (default:
# $WINEPREFIX, else ~/.cache/quillrade-wine) is created on first use; concurrent
# first uses wait for one another. Wine's own diagnostics are off so that the program's standard error
# is what the program wrote; set WINEDEBUG to see them.
set -euo pipefail
prefix=${WINEPREFIX:-${HOME:-/tmp}/.cache/quillrade-wine}
if [ "${1:-}" = "--prefix" ]; then
  prefix=$2
  shift 2
fi
readonly wine=/usr/lib/wine/wine64
export WINEPREFIX=$prefix
export WINELOADER=$wine
export WINEDEBUG=${WINEDEBUG:--all}
# No .NET or HTML engine: nothing here needs them, and Wine would try to install them.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64

if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  exec 8>"$prefix.lock"
  flock 8
  if [ ! -f "$prefix/system.reg" ]; then
    "$wine" wineboot --init >/dev/null 2>&1
    /usr/lib/wine/wineserver -w
  fi
  exec 8>&-
fi
if [ "${1:-}" = "--server" ]; then
  /usr/lib/wine/wineserver -p -f </dev/null >/dev/null 2>>"$2" &
  started=$!
  # Wine names the server's folder after the prefix's device and inode; Debian's
  # Wine keeps it in a folder of its own under /tmp.
  server=server-$(stat -c '%D' "$prefix")-$(printf '%x' "$(stat -c '%i' "$prefix")")
  for _ in $(seq 100); do
    for socket in /tmp/.wine-"$(id -u)"/"$server"/socket /tmp/wine-*/"$server"/socket; do
      [ -S "$socket" ] && kill -0 "$started" 2>/dev/null || continue
      # The first program starts Wine's own service processes, which live as
      # long as the server: started from here, they hold none of a test's pipes.
      "$wine" cmd /c exit </dev/null >/dev/null 2>&1
      exit 0
    done
    sleep 0.1
  done
  echo "Wine's server did not start for $prefix" >&2
  exit 1
fi
exec "$wine" "$@"
