#!/usr/bin/env bash
# Runs a Windows program under Debian's 64-bit Wine, quietly and headless:
#   scripts/wine-run.sh [--prefix <wine prefix>] <program.exe> [arguments...]
# The exit code is the program's. The prefix (default: $WINEPREFIX, else
# ~/.cache/quillrade-wine) is created on first use; concurrent first uses wait for
# one another. Wine's own diagnostics are off so that the program's standard error
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
exec "$wine" "$@"
