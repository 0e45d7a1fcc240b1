#!/bin/sh
# Builds quillrade optimised, without sanitizers (RelWithDebInfo: -O2 -g), and
# runs the benchmarks.
#   bench/run.sh                      build into build-bench/ and measure
#   BUILD_DIR=/path bench/run.sh      use another build folder
#   QR_BINARY=/path/quillrade bench/run.sh   measure an existing binary
# Further arguments go to the benchmark script (for example --idle-seconds 30).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${QR_BINARY:-}" ]; then
  build="${BUILD_DIR:-$root/build-bench}"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQR_SANITIZE= \
        -DQR_BUILD_TESTS=OFF -DQR_BUILD_BENCH=ON >/dev/null
  cmake --build "$build" -j2 --target quillrade
  QR_BINARY="$build/quillrade"
fi
exec python3 "$root/bench/quillrade_bench.py" --binary "$QR_BINARY" "$@"
