#!/usr/bin/env bash
# Builds the Windows installer beside the zip, from a Windows build tree:
#   scripts/build-msi.sh <windows build dir> [version [output folder]]
# leaves quillrade-<version>-x64.msi in the build tree or the output folder and
# prints its path. The version is the project's by default; a higher one makes
# an upgrade of an installed copy, as the tests do.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(cd "$1" && pwd)
version=${2:-$(sed -n 's/^project(quillrade VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")}
# The description the program registers with "-i", so both installs look alike.
description=$(sed -n '/strServiceDescription =/,/;/p' "$root/src/host/program_description.cc" |
  grep -o '"[^"]*"' | tr -d '"\n')
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
x86_64-w64-mingw32-strip -o "$work/quillrade.exe" "$dir/quillrade.exe"
printf '[InternetShortcut]\r\nURL=http://127.0.0.1:7370/\r\n' >"$work/status.url"
out=$(cd "${3:-$dir}" && pwd)/quillrade-$version-x64.msi
cp "$root/examples/quillrade-example.ini" "$root/README.md" "$work/"
# wixl finds the sources by names relative to its working folder.
(cd "$work" && wixl -a x64 -o "$out" -D Version="$version" -D Exe=quillrade.exe \
  -D ExampleIni=quillrade-example.ini -D Readme=README.md -D StatusUrl=status.url \
  -D Description="$description" "$root/scripts/quillrade.wxs")
echo "$out"
