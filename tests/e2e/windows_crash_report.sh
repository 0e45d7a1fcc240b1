#!/usr/bin/env bash
# The Windows crash reporter under Wine: the probe program fails in a worker
# thread in several ways, and each time the process ends with exit code 0 after
# "writing minidump", leaving one complete report (the cause, the thread, the
# stack and the module list with each image's checksum, link time and version
# resource) and a minidump beside it.
#
#   windows_crash_report.sh <wine-run.sh> <wine prefix> <crash_probe.exe>
set -euo pipefail
wine_run=$1
prefix=$2
probe=$3

work=$(mktemp -d /tmp/qr_crash_XXXXXX)
trap 'rm -rf "$work"' EXIT
# The same folder as Wine's drive Z: sees it.
folder="Z:$(echo "$work" | tr / '\\')"

failures=0
fail() {
  echo "FAILED ($kind): $*"
  failures=$((failures + 1))
}
expect_text() {
  grep -qF -- "$1" "$report" || fail "no \"$1\" in the report"
}

# A stack overflow is left out: Wine 8.0 raises it on the thread's own stack and
# needs more room below the guard page than it keeps (SetThreadStackGuarantee does
# not widen it there), so it logs "virtual_setup_exception stack overflow" and the
# exception never reaches the program.
for kind in write_null divide throw_int; do
  rm -f "$work"/*
  set +e
  timeout 60 "$wine_run" --prefix "$prefix" "$probe" "$kind" "$folder" </dev/null \
    >"$work/stderr.log" 2>&1
  status=$?
  set -e
  [ "$status" -eq 0 ] || fail "exit code $status"
  grep -q "writing minidump" "$work/stderr.log" || fail "no \"writing minidump\" on standard error"
  reports=("$work"/*.txt)
  dumps=("$work"/*.dmp)
  [ -f "${reports[0]}" ] && [ ${#reports[@]} -eq 1 ] || { fail "not one report"; continue; }
  report=${reports[0]}
  case $kind in
    write_null) expect_text "caused an Access Violation (0xc0000005)" ;;
    divide) expect_text "caused an Integer Divide by Zero (0xc0000094)" ;;
    throw_int) expect_text "caused a Microsoft C++ Exception (0xe06d7363)" ;;
  esac
  expect_text "Exception handler called in Probe_Worker_Thread."
  expect_text "Module 1"
  grep -q "^Checksum:   0x[0-9a-f]\{8\}  Time Stamp: 0x[0-9a-f]\{8\}"$'\r'"$" "$report" ||
    fail "no checksum and link time from the image header"
  # Wine's own libraries carry version resources.
  grep -q "^   FileVer:    [0-9]*\.[0-9]*\.[0-9]*\.[0-9]*"$'\r'"$" "$report" ||
    fail "no module with its version resource"
  tail -c 40 "$report" | grep -qF "===== [end of CRASH.TXT] =====" || fail "report not complete"
  [ -f "${dumps[0]}" ] && [ "$(head -c 4 "${dumps[0]}")" = "MDMP" ] || fail "no minidump"
done
[ "$failures" -eq 0 ] && echo "crash reports complete for every kind"
exit $((failures > 0))
