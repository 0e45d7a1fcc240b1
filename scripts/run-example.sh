#!/usr/bin/env bash
# Installs what is missing, builds the program without its tests into a tree of
# its own (build/example, so that the test trees keep their tests) and runs it in
# the console test mode on the bundled example configuration. ESC (or Ctrl-C)
# ends it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build/example -DQR_BUILD_TESTS=OFF
cd examples
exec ../build/example/quillrade run ini_file=quillrade-example.ini
