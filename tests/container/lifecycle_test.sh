#!/usr/bin/env bash
# The service's life under a real systemd, in one booted container: install and
# readiness, the page, a push and the journal; systemctl reload and the journal's
# priorities and fields; a second install; a configuration edit; a stop while a
# request hangs; an install with "-run" on the stopped service; a crash and the
# restart; the uninstall.
# Usage: lifecycle_test.sh <quillrade binary>
source "$(dirname "$0")/container.sh"

readonly kUnitFile=/etc/systemd/system/$kUnit

# Runs the program inside with the given arguments: its standard output and error
# in $g_run/output, its exit code in g_exit.
run_program() {
  g_exit=0
  enter "$kProgram" "$@" >"$g_run/output" 2>&1 </dev/null || g_exit=$?
}

# Fails unless the last run_program printed exactly `expected` and ended with `code`.
expect_run() {
  local what=$1 code=$2 expected=$3
  if ! printf '%s' "$expected" | cmp -s - "$g_run/output" || [ "$g_exit" -ne "$code" ]; then
    echo "--- expected (exit $code):"
    printf '%s' "$expected" | od -c | head -n 20
    echo "--- got (exit $g_exit):"
    od -c "$g_run/output" | head -n 20
    fail "$what"
  fi
  pass_step "$what"
}

# Whether the journal of the unit (journalctl -u) holds `text`; read whole, so that
# a pipe closed early cannot fail it.
unit_journal_has() {
  local journal
  journal=$(enter journalctl -q -u "$kUnit" -o cat)
  grep -qF -- "$1" <<<"$journal"
}

push() {
  [ "$(enter curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:7370/input0?set=$1")" = 200 ]
}

write_config() {
  local target=$1
  enter sh -c "cat >$kConfig.new && mv $kConfig.new $kConfig" <<EOF
[Input0]
type=push
text0=line=0

[Output0]
format0=%text0%
Url0=$target?p=%format0%
EOF
}

# Line number of the first line of systemd's own log that holds `text`; empty if none.
manager_log_line() {
  local journal
  journal=$(enter journalctl -q _PID=1 -o cat)
  grep -nF -- "$1" <<<"$journal" | sed -n '1s/:.*//p'
}

check_install() {
  write_config "http://127.0.0.1:$kAnsweringPort/answered"
  enter systemd-analyze log-level debug
  run_program -i
  expect_run "quillrade -i installs and starts the service" 0 \
    $'\nquillrade service installed successfully.\nService has been set to start automatically, and was started now.\n'
  enter grep -qxF "ExecStart=\"$kProgram\" servicerun" "$kUnitFile" || fail "unit file written"
  [ "$(enter systemctl is-enabled "$kUnit")" = enabled ] || fail "unit enabled"
  [ "$(enter systemctl is-active "$kUnit")" = active ] || fail "unit active"
  unit_is Type notify || fail "unit of type notify"
  pass_step "unit written, enabled, active, of type notify"

  # With systemd logging at debug level, its journal shows that the unit became
  # active on the program's READY=1 and not before. (At that level the service's
  # first lines are filed under init.scope, so the level is only raised for this.)
  local ready running
  ready=$(manager_log_line "$kUnit: Got notification message from PID")
  running=$(manager_log_line "$kUnit: Changed start -> running")
  [ -n "$ready" ] && [ -n "$running" ] && [ "$ready" -lt "$running" ] ||
    fail "active only after READY=1 (notification at line '$ready', running at '$running')"
  local first
  first=$(manager_log_line "$kUnit: Got notification message")
  enter journalctl -q _PID=1 -o cat | sed -n "${first}p" | grep -F "READY=1" >/dev/null ||
    fail "the first notification is READY=1"
  enter systemd-analyze log-level info
  pass_step "active only after the program's READY=1"
}

check_page_push_journal() {
  wait_until "$kEffectSeconds" enter curl -sf -o "/run/page.html" http://127.0.0.1:7370/ ||
    fail "status page answers"
  enter grep -qi "<html" /run/page.html || fail "status page is HTML"
  pass_step "status page answers"
  push first || fail "push accepted"
  wait_until "$kEffectSeconds" peer_got answered "/answered?p=first" || fail "push sent to its target"
  pass_step "a push reaches its target"
}

readonly kFailing="Fetching URL: http://127.0.0.1:9/refused?p=third...ERROR"

# Whether at least `count` of the unit's entries that match the journalctl options
# read `text`.
journal_holds() {
  local count=$1 text=$2 journal
  shift 2
  journal=$(enter journalctl -q -u "$kUnit" -o cat "$@")
  [ "$(grep -cxF -- "$text" <<<"$journal")" -ge "$count" ]
}

check_systemctl_reload() {
  local pid before
  pid=$(unit_property MainPID)
  for signals in "systemctl reload $kUnit" "kill -HUP $pid $pid $pid $pid $pid"; do
    before=$(service_journal | grep -cF "Running Indefinitely.")
    enter $signals || fail "$signals"
    wait_until "$kEffectSeconds" reloaded_since "$before" || fail "reloaded after $signals"
  done
  sleep 2
  [ "$(service_journal | grep -cxF "*** Reload requested")" = 2 ] || fail "one reload per request"
  push second && wait_until "$kEffectSeconds" peer_got answered "/answered?p=second" ||
    fail "the new tasks run"
  pass_step "systemctl reload with the file unchanged, and a burst of SIGHUP, reload once each"

  enter sh -c ": >$kConfig"
  enter systemctl reload "$kUnit" || fail "systemctl reload of an empty file"
  wait_until "$kEffectSeconds" journal_holds 2 "Couldn't read from file \"$kConfig\"" -p err ||
    fail "failed load at priority err, retried"
  local metrics
  metrics=$(enter curl -s http://127.0.0.1:7370/metrics)
  grep -q "^quillrade_config_load_failures_total [1-9]" <<<"$metrics" || fail "failed loads in /metrics"
  pass_step "a load that fails: priority err, retried every second, in /metrics"

  write_config "http://127.0.0.1:9/refused"
  wait_until "$kEffectSeconds" push third && wait_until "$kEffectSeconds" journal_holds 1 \
    "$kFailing" -p err QUILLRADE_TASK=output0 || fail "the failing request at err, in its task"
  ! journal_holds 1 "Reading config file: \"$kConfig\"" QUILLRADE_TASK=output0 &&
    [ -z "$(enter journalctl -q _PID="$pid" _TRANSPORT=stdout -o cat)" ] ||
    fail "only the task's entries under QUILLRADE_TASK, nothing on standard output as well"
  pass_step "journal entries: priority err, QUILLRADE_TASK, nothing twice"
}

check_second_install() {
  run_program -i
  expect_run "second quillrade -i reports the running service" 1 \
    $'quillrade service is already installed.\nService is already running!\n'
}

check_reload() {
  local before
  before=$(service_journal | grep -cF "Running Indefinitely.")
  write_config "http://127.0.0.1:$kSilentPort/held"
  wait_until "$kEffectSeconds" service_journal_has "*** Config file update detected!" ||
    fail "configuration edit detected"
  wait_until "$kEffectSeconds" reloaded_since "$before" || fail "configuration reloaded"
  push hang || fail "push accepted after the reload"
  # The push the refusing target never answered goes over to the new task ahead
  # of "hang", which waits behind it in its slot while the peer stays silent.
  wait_until "$kEffectSeconds" peer_got held "/held?p=third" ||
    fail "the unanswered push reaches the new target"
  pass_step "a configuration edit reloads the running service; an unanswered push goes over"
}

# The request to the silent peer is still open: the stop must not wait for it.
check_stop_while_hanging() {
  local start=$SECONDS
  enter timeout $((kStopTimeoutSeconds + 30)) systemctl stop "$kUnit" || fail "systemctl stop"
  local took=$((SECONDS - start))
  [ "$took" -lt "$kStopTimeoutSeconds" ] || fail "stop took ${took}s"
  unit_is Result success || fail "stop ended with result $(unit_property Result)"
  [ "$(enter systemctl is-active "$kUnit")" = inactive ] || fail "inactive after the stop"
  pass_step "stop within ${took}s while a request hangs, without being killed"
}

check_install_run() {
  run_program -i -run
  expect_run "quillrade -i -run starts the installed service" 1 \
    $'quillrade service is already installed.\nService started!\n'
  [ "$(enter systemctl is-active "$kUnit")" = active ] || fail "active after -i -run"
  # journald files what the service wrote a moment later.
  wait_until "$kEffectSeconds" unit_journal_has "Running Indefinitely." &&
    unit_journal_has "Real-time status information available at:" &&
    unit_journal_has " * http://127.0.0.1:7370" || fail "status texts in journalctl -u"
  pass_step "status texts in journalctl -u"
}

check_crash() {
  crash_and_restart "$kProgramDir"
  pass_step "a crash writes its report beside the program; systemd restarts the service"
}

check_uninstall() {
  run_program -u
  expect_run "quillrade -u uninstalls" 0 $'\nquillrade service uninstalled successfully.\n'
  ! enter test -e "$kUnitFile" || fail "unit file removed"
  ! enter systemctl is-enabled "$kUnit" >/dev/null 2>&1 || fail "unit no longer enabled"
  wait_until "$kStopTimeoutSeconds" service_process_gone || fail "service stopped"
  pass_step "stopped, disabled, unit removed"
}

main() {
  local binary=$1
  require_host
  ensure_tree
  local begin=$SECONDS
  boot_container "$binary"
  pass_step "container booted in $((SECONDS - begin))s"
  start_peers

  check_install
  check_page_push_journal
  check_systemctl_reload
  check_second_install
  check_reload
  check_stop_while_hanging
  check_install_run
  check_crash
  check_uninstall
  echo "passed in $((SECONDS - begin))s"
}

main "$@"
