#!/usr/bin/env bash
# Builds the Debian package and leaves it at build/deb/quillrade_<version>_<arch>.deb
# (the debug symbols beside it as quillrade-dbgsym_...). The sources (every file
# git tracks or would track) are copied to build/deb/src first, because
# dpkg-buildpackage writes into the source tree and puts its results next to it.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/deb
rm -rf "$out"
mkdir -p "$out/src"
git ls-files -z --cached --others --exclude-standard |
  tar --null --ignore-failed-read -T - -cf - | tar -xf - -C "$out/src"
cd "$out/src"
dpkg-buildpackage -b -us -uc -j"$(nproc)" >../build.log 2>&1 || {
  tail -n 40 ../build.log
  exit 1
}
ls ../quillrade_*.deb
