#!/usr/bin/env bash
# A power option run inside a booted container, with the service installed and
# running, reaches its systemd: -system_restart reboots it (systemd-nspawn then ends
# with its reboot status 133), -system_shutdown powers it off (systemd-nspawn ends
# with 0). The power command runs only after the marker proves that it runs inside
# the container.
# Usage: power_test.sh <quillrade binary> -system_restart|-system_shutdown
source "$(dirname "$0")/container.sh"

# systemd-nspawn's exit code when the container asked to be rebooted.
readonly kRebootExitCode=133

main() {
  local binary=$1 option=$2 expected
  case "$option" in
    -system_restart) expected=$kRebootExitCode ;;
    -system_shutdown) expected=0 ;;
    *) fail "unknown option $option" ;;
  esac
  require_host
  ensure_tree
  local begin=$SECONDS
  boot_container "$binary"
  enter "$kProgram" -i >/dev/null </dev/null || fail "quillrade -i before $option"
  [ "$(enter systemctl is-active "$kUnit")" = active ] ||
    fail "service not running before $option"
  prove_inside || fail "refusing a power command that might run outside the container"
  local code=0
  enter "$kProgram" "$option" </dev/null || code=$?
  [ "$code" -eq 0 ] || fail "quillrade $option ended with $code"
  wait_for_nspawn_exit "$kHaltSeconds" || fail "the container still runs after $option"
  [ "$g_nspawn_exit" -eq "$expected" ] ||
    fail "systemd-nspawn ended with $g_nspawn_exit after $option, not $expected"
  echo "passed: $option ended the container with $expected in $((SECONDS - begin))s"
}

main "$@"
