# shellcheck shell=bash disable=SC2034
# The service under a real systemd: a minimal Debian 12 tree, cached between runs,
# booted with systemd-nspawn as a container whose PID 1 is systemd, and commands
# run inside it through nsenter. Sourced by the *_test.sh scripts beside it.
#
# Every boot runs on an overlay of the cached tree, so the cache stays as debootstrap
# left it and several runs may boot at once. The container has its own network:
# the service inside cannot take the ports of tests running beside it, and nothing
# it sends reaches the machine outside.
#
# Exit codes: 0 passed, 1 failed, 77 skipped (with the reason on standard output).

set -euo pipefail

readonly kSkipExitCode=77
readonly kCacheDir=${QR_CONTAINER_CACHE:-/var/cache/quillrade-nspawn}
readonly kTree=$kCacheDir/bookworm
readonly kMirror=${QR_CONTAINER_MIRROR:-http://deb.debian.org/debian}
# systemd as PID 1 with D-Bus as on an installed system, the program's runtime
# libraries, and the tools the tests use inside (curl to request, python3 for the
# peers and the fault injection, procps for pgrep).
readonly kTreePackages=systemd,systemd-sysv,dbus,libcurl4,libxml2,libcivetweb1,libsystemd0,curl,python3,procps
# Names the complete tree and what it was made with; a different list rebuilds it.
readonly kTreeStamp=.quillrade-tree
# Created in each booted tree; a command sees it at / only inside the container.
readonly kMarker=/.quillrade-container-marker
# Bounds of the waits on the container as a whole.
readonly kBootSeconds=90
readonly kHaltSeconds=60

# Where the program lives inside; its configuration is the .ini beside it.
readonly kProgramDir=/opt/quillrade
readonly kProgram=$kProgramDir/quillrade
readonly kConfig=$kProgramDir/quillrade.ini

# The service's unit and bounds of the waits on it; generous, as the machine may
# be busy. The stop bound is the unit's stop timeout, after which systemd kills.
readonly kUnit=quillrade.service
readonly kEffectSeconds=20
readonly kStopTimeoutSeconds=30

# The peers' ports inside the container and where they log what they got.
readonly kAnsweringPort=8081
readonly kSilentPort=8082
readonly kPeerLog=/run/quillrade-test-peers
# systemd restarts a crashed service after 5 s.
readonly kRestartSeconds=30

g_run=""
g_nspawn=""
g_leader=""
g_token=""

skip() {
  echo "SKIPPED: $*"
  exit "$kSkipExitCode"
}

fail() {
  echo "FAILED: $*"
  exit 1
}

pass_step() {
  echo "ok: $*"
}

# Skips unless this machine can run the containers at all.
require_host() {
  [ "$(id -u)" -eq 0 ] || skip "needs root to boot a container"
  local tool
  for tool in systemd-nspawn debootstrap nsenter; do
    command -v "$tool" >/dev/null ||
      skip "$tool is not installed (scripts/install-deps.sh --test installs it)"
  done
}

# Makes the cached tree when it is missing or was made with other packages. Only one
# run builds it, the others wait; the shared lock kept until this script ends stops a
# rebuild from removing the tree under a booted container.
ensure_tree() {
  mkdir -p "$kCacheDir"
  local lock
  exec {lock}>"$kCacheDir/.lock"
  flock "$lock"
  if [ "$(cat "$kTree/$kTreeStamp" 2>/dev/null)" != "$kTreePackages" ]; then
    echo "Building the Debian tree in $kTree (once; a few minutes)"
    rm -rf "$kTree" "$kTree.new"
    if ! debootstrap --variant=minbase --include="$kTreePackages" bookworm "$kTree.new" \
      "$kMirror" >"$kCacheDir/debootstrap.log" 2>&1; then
      tail -n 5 "$kCacheDir/debootstrap.log"
      rm -rf "$kTree.new"
      skip "debootstrap could not make the tree (log: $kCacheDir/debootstrap.log)"
    fi
    echo "$kTreePackages" >"$kTree.new/$kTreeStamp"
    mv "$kTree.new" "$kTree"
  fi
  flock -s "$lock"
}

# The container's PID 1 as seen from here: the child of systemd-nspawn that its own
# PID namespace numbers 1.
find_leader() {
  local pid
  for pid in $(pgrep -P "$g_nspawn"); do
    if grep -qE '^NSpid:.*[[:space:]]1$' "/proc/$pid/status" 2>/dev/null; then
      echo "$pid"
      return 0
    fi
  done
  return 1
}

# Runs a command inside the container, with the standard streams of the caller.
enter() {
  nsenter --target "$g_leader" --mount --uts --ipc --net --pid --cgroup --root --wd \
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    SYSTEMD_PAGER= "$@"
}

# Succeeds only when the commands run by enter() see this boot's marker at / and in
# their working folder, that is, they run inside the container and not on this
# machine.
prove_inside() {
  [ -n "$g_token" ] || return 1
  [ "$(enter cat "$kMarker" 2>/dev/null)" = "$g_token" ] || return 1
  [ "$(enter cat "./${kMarker#/}" 2>/dev/null)" = "$g_token" ] || return 1
  [ "$(cat "$kMarker" 2>/dev/null)" != "$g_token" ]
}

# Stops the container if it still runs and removes everything of this boot.
cleanup() {
  if [ -n "$g_nspawn" ] && kill -0 "$g_nspawn" 2>/dev/null; then
    # systemd-nspawn passes SIGTERM on to the container as a request to power off.
    kill -TERM "$g_nspawn" 2>/dev/null || true
    local waited=0
    while kill -0 "$g_nspawn" 2>/dev/null && [ "$waited" -lt "$kHaltSeconds" ]; do
      sleep 1
      waited=$((waited + 1))
    done
    kill -KILL "$g_nspawn" 2>/dev/null || true
    wait "$g_nspawn" 2>/dev/null || true
  fi
  g_nspawn=""
  if [ -n "$g_run" ]; then
    umount "$g_run/root" 2>/dev/null || true
    rm -rf "$g_run"
  fi
  g_run=""
}

# Boots a container on an overlay of the cached tree, with the program at $kProgram
# (unless the binary given is empty), and waits until its systemd has finished
# starting up. Skips when the machine cannot boot one.
boot_container() {
  local binary=$1
  g_run=$(mktemp -d /var/tmp/quillrade-nspawn.XXXXXX)
  trap cleanup EXIT
  mkdir "$g_run/upper" "$g_run/work" "$g_run/root"
  mount -t overlay overlay -o "lowerdir=$kTree,upperdir=$g_run/upper,workdir=$g_run/work" \
    "$g_run/root" || skip "cannot mount an overlay of the tree"
  g_token="$$-$RANDOM-$(date +%s%N)"
  echo "$g_token" >"$g_run/root$kMarker"
  if [ -n "$binary" ]; then
    mkdir -p "$g_run/root$kProgramDir"
    cp "$binary" "$g_run/root$kProgram"
  fi
  local here
  here=$(dirname "${BASH_SOURCE[0]}")
  cp "$here/peers.py" "$g_run/root/usr/local/bin/quillrade-test-peers"
  cp "$here/inject_fault.py" "$g_run/root/usr/local/bin/quillrade-test-inject-fault"

  systemd-nspawn --quiet --boot --register=no --private-network --keep-unit \
    --machine="quillrade-test-$$" --directory="$g_run/root" >"$g_run/console.log" 2>&1 &
  g_nspawn=$!

  local waited=0
  until g_leader=$(find_leader); do
    if ! kill -0 "$g_nspawn" 2>/dev/null || [ "$waited" -ge "$kBootSeconds" ]; then
      tail -n 20 "$g_run/console.log"
      skip "systemd-nspawn could not boot the container here"
    fi
    sleep 1
    waited=$((waited + 1))
  done
  # Right after the leader appears its systemd may not answer yet ("offline").
  if ! wait_until "$kBootSeconds" boot_finished; then
    tail -n 20 "$g_run/console.log"
    skip "the container's systemd did not finish booting (state \"$g_state\")"
  fi
  prove_inside || fail "commands do not reach the inside of the container"
}

boot_finished() {
  g_state=$(timeout "$kBootSeconds" nsenter --target "$g_leader" --mount --pid --root --wd \
    systemctl is-system-running --wait 2>/dev/null) || true
  [ "$g_state" = running ] || [ "$g_state" = degraded ]
}

# Waits up to `seconds` for a command run here to succeed.
wait_until() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}

# Waits up to `seconds` for systemd-nspawn to end; its exit code in g_nspawn_exit.
wait_for_nspawn_exit() {
  local seconds=$1
  wait_until "$seconds" nspawn_ended || return 1
  g_nspawn_exit=0
  wait "$g_nspawn" || g_nspawn_exit=$?
  g_nspawn=""
}

nspawn_ended() {
  ! kill -0 "$g_nspawn" 2>/dev/null
}

unit_property() {
  enter systemctl show -p "$1" --value "$kUnit"
}

service_process_gone() {
  ! enter pgrep -x quillrade >/dev/null
}

unit_is() {
  [ "$(unit_property "$1")" = "$2" ]
}

start_peers() {
  enter systemd-run --quiet --unit=quillrade-test-peers /usr/bin/python3 \
    /usr/local/bin/quillrade-test-peers "$kAnsweringPort" "$kSilentPort" "$kPeerLog"
}

peer_got() {
  enter grep -qxF -- "$2" "$kPeerLog/$1" 2>/dev/null
}

# What the service's main process wrote to the journal.
service_journal() {
  enter journalctl -q -o cat _PID="$(unit_property MainPID)"
}

service_journal_has() {
  local journal
  journal=$(service_journal)
  grep -qF -- "$1" <<<"$journal"
}

restarted_after() {
  local pid
  pid=$(unit_property MainPID)
  [ "$pid" != 0 ] && [ "$pid" != "$1" ] && unit_is ActiveState active && unit_is NRestarts 1
}

reloaded_since() {
  [ "$(service_journal | grep -cF "Running Indefinitely.")" -gt "$1" ]
}

# The work thread faults, as a bug in a task would make it; fails unless a crash
# report naming that thread appears in `folder` and systemd restarts the service.
crash_and_restart() {
  local folder=$1 pid
  pid=$(unit_property MainPID)
  [ "$pid" != 0 ] || fail "service has a main process"
  enter quillrade-test-inject-fault "$pid" Quillrade_Main >/dev/null || fail "fault injected"
  wait_until "$kEffectSeconds" enter sh -c "grep -qs Quillrade_Main $folder/quillrade_crash_*.txt" ||
    fail "no crash report naming the faulting thread in $folder"
  wait_until "$kRestartSeconds" restarted_after "$pid" || fail "systemd restarts the service"
}
