#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh <dir> [cmake options...]
# Every tree the scripts build has its warnings as errors (QR_WERROR) and its
# tests (QR_BUILD_TESTS), set each time, so that a tree configured otherwise
# before cannot leave a test run with no tests; an option given after <dir>
# overrides either.
set -euo pipefail
dir=$1; shift
cmake -S "$(dirname "$0")/.." -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQR_WERROR=ON \
  -DQR_BUILD_TESTS=ON "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
