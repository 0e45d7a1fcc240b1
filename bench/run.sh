#!/bin/sh
# Builds quillrade optimised, without sanitizers (RelWithDebInfo: -O2 -g), and
# runs the benchmarks.
#   bench/run.sh                      build into build-bench/ and run them all
#   bench/run.sh change_bench.py ...  run one benchmark script, with its arguments
#                                     (for example quillrade_bench.py --idle-seconds 30)
#   BUILD_DIR=/path bench/run.sh      use another build folder
#   QR_BINARY=/path/quillrade bench/run.sh   measure an existing binary
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${QR_BINARY:-}" ]; then
  build="${BUILD_DIR:-$root/build-bench}"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQR_SANITIZE= \
        -DQR_BUILD_TESTS=OFF -DQR_BUILD_BENCH=ON >/dev/null
  cmake --build "$build" -j2 --target quillrade
  QR_BINARY="$build/quillrade"
fi
# outage_bench.py and isolation_bench.py take the binary as their first argument,
# the others --binary.
run_script() {
  script=$1
  shift
  case $script in
    outage_bench.py | isolation_bench.py) python3 "$root/bench/$script" "$QR_BINARY" "$@" ;;
    *) python3 "$root/bench/$script" --binary "$QR_BINARY" "$@" ;;
  esac
}
if [ $# -gt 0 ]; then
  run_script "$@"
  exit $?
fi
status=0
for script in quillrade_bench.py change_bench.py outage_bench.py isolation_bench.py metrics_bench.py; do
  echo "== $script"
  run_script "$script" || status=1
done
exit $status
