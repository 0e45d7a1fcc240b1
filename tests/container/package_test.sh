#!/usr/bin/env bash
# The Debian package under a real systemd, in a booted container: dpkg -i enables
# and starts the packaged unit, which runs on the package's conffile as the user
# quillrade in its sandbox; it reads an input its group may read, reloads the
# conffile, leaves a crash report in its state folder; quillrade -i leaves the
# packaged service alone; dpkg --purge stops it and leaves nothing, no user either.
# Usage: package_test.sh <folder holding quillrade_*.deb>
source "$(dirname "$0")/container.sh"

readonly kPackagedUnitFile=/lib/systemd/system/$kUnit
readonly kPackagedConfig=/etc/quillrade/quillrade.ini
readonly kPackageInside=/root/quillrade.deb
readonly kStateDir=/var/lib/quillrade
readonly kPlayout=/srv/playout
readonly kToken=package-token-0123456

page_answers() {
  enter curl -sf -o /dev/null http://127.0.0.1:7370/
}

reads_conffile() {
  local journal
  journal=$(enter journalctl -q -o cat _PID="$(unit_property MainPID)")
  grep -qF "Reading config file: \"$kPackagedConfig\"" <<<"$journal"
}

check_install() {
  enter dpkg -i "$kPackageInside" >"$g_run/dpkg.log" 2>&1 ||
    { cat "$g_run/dpkg.log"; fail "dpkg -i"; }
  [ "$(enter systemctl is-enabled "$kUnit")" = enabled ] || fail "packaged unit enabled"
  [ "$(unit_property FragmentPath)" = "$kPackagedUnitFile" ] ||
    fail "systemd runs $(unit_property FragmentPath), not the packaged unit"
  wait_until "$kEffectSeconds" page_answers || fail "packaged service answers on its page"
  [ "$(enter systemctl is-active "$kUnit")" = active ] || fail "packaged unit active"
  local conffiles
  conffiles=$(enter dpkg-query -W -f="\${Conffiles}" quillrade)
  grep -qF " $kPackagedConfig " <<<"$conffiles" || fail "$kPackagedConfig is a conffile"
  wait_until "$kEffectSeconds" reads_conffile || fail "service reads $kPackagedConfig"
  # Made by systemd for the crash reports; the purge must take it away again.
  enter test -d /var/lib/quillrade || fail "state folder /var/lib/quillrade made"
  pass_step "dpkg -i starts the packaged unit on its conffile"
}

check_sandbox() {
  local user mode score
  user=$(enter ps -o user= -p "$(unit_property MainPID)")
  mode=$(enter stat -c %U:%G:%a "$kPackagedConfig")
  [ "$user" = quillrade ] && [ "$mode" = root:quillrade:640 ] ||
    fail "service runs as '$user', conffile is $mode"
  score=$(enter systemd-analyze security "$kUnit" | sed -n 's/.*exposure level for [^:]*: \([0-9.]*\).*/\1/p')
  awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 2.5) }' || fail "exposure '$score' above 2.5"
  pass_step "runs as quillrade, conffile root:quillrade 0640, exposure $score"
}

# The user's new group counts from the next start of the service.
check_group_input_and_reload() {
  start_peers
  enter sh -c "groupadd playout && usermod -aG playout quillrade && mkdir -m 0750 $kPlayout &&
    echo hello >$kPlayout/now.txt && chmod 0640 $kPlayout/now.txt && chgrp -R playout $kPlayout"
  local before
  before=$(service_journal | grep -cF "Running Indefinitely.")
  enter sh -c "cat >$kPackagedConfig" <<EOF
[global]
status_listen_address=127.0.0.1
access_token=$kToken
[Input0]
file=$kPlayout/now.txt
text0=line=0
[Output0]
format0=%text0%
Url0=http://127.0.0.1:$kAnsweringPort/answered?p=%format0%
EOF
  wait_until "$kEffectSeconds" reloaded_since "$before" || fail "conffile edit reloaded"
  enter systemctl restart "$kUnit"
  wait_until "$kEffectSeconds" peer_got answered "/answered?p=hello" ||
    fail "input in a folder of the user's group read and sent"
  [ "$(enter curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1:7370/)" = 401 ] ||
    fail "status page answers without the token"
  pass_step "reloads the conffile; reads and sends an input its group may read; token asked"
}

check_install_leaves_package_alone() {
  local code=0
  enter /usr/bin/quillrade -i >"$g_run/output" 2>&1 </dev/null || code=$?
  local expected="quillrade service is managed by its package ($kPackagedUnitFile).
No second unit was written. Start, stop and enable it with systemctl:

systemctl status quillrade

"
  if ! printf '%s' "$expected" | cmp -s - "$g_run/output" || [ "$code" -ne 1 ]; then
    echo "--- got (exit $code):"
    cat "$g_run/output"
    fail "quillrade -i beside the package"
  fi
  ! enter test -e "/etc/systemd/system/$kUnit" || fail "quillrade -i wrote a second unit"
  pass_step "quillrade -i leaves the packaged service alone"
}

check_purge() {
  local files
  files=$(enter dpkg-query -L quillrade)
  enter dpkg --purge quillrade >"$g_run/dpkg.log" 2>&1 ||
    { cat "$g_run/dpkg.log"; fail "dpkg --purge"; }
  wait_until "$kStopTimeoutSeconds" service_process_gone || fail "service stopped"
  local path left=""
  while IFS= read -r path; do
    # Folders the package shares with others stay; its own files must not.
    enter test -d "$path" && continue
    ! enter test -e "$path" || left+=" $path"
  done <<<"$files"
  [ -z "$left" ] || fail "left after the purge:$left"
  # Whatever the program or its maintainer scripts made, by name, outside what this
  # test put into the container.
  left=$(enter find / -xdev -name '*quillrade*' -not -path "$kPackageInside" \
    -not -path '/.quillrade-*' -not -path '/opt/quillrade*' \
    -not -path '/usr/local/bin/quillrade-test-*')
  [ -z "$left" ] || fail "left after the purge: $left"
  [ "$(enter systemctl show -p LoadState --value "$kUnit")" = not-found ] ||
    fail "systemd still knows $kUnit"
  ! enter getent passwd quillrade >/dev/null && ! enter getent group quillrade >/dev/null ||
    fail "user or group quillrade left"
  pass_step "dpkg --purge leaves nothing"
}

main() {
  local debs=("$1"/quillrade_*.deb)
  require_host
  [ -f "${debs[0]}" ] || skip "no package in $1 (scripts/build-deb.sh builds it)"
  ensure_tree
  local begin=$SECONDS
  boot_container ""
  cp "${debs[0]}" "$g_run/root$kPackageInside"
  check_install
  check_sandbox
  check_group_input_and_reload
  crash_and_restart "$kStateDir"
  pass_step "a crash writes its report into $kStateDir; systemd restarts the service"
  check_install_leaves_package_alone
  check_purge
  echo "passed in $((SECONDS - begin))s"
}

main "$@"
