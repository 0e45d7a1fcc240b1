#!/usr/bin/env bash
# Installs what is missing, builds the program and runs it in the console test mode
# on the bundled example configuration. ESC (or Ctrl-C) ends it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build/release -DQR_BUILD_TESTS=OFF
cd examples
exec ../build/release/quillrade run ini_file=quillrade-example.ini
