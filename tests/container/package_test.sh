#!/usr/bin/env bash
# The Debian package under a real systemd, in a booted container: dpkg -i enables
# and starts the packaged unit, which runs on the package's conffile; quillrade -i
# leaves the packaged service alone; dpkg --purge stops it and leaves nothing.
# Usage: package_test.sh <folder holding quillrade_*.deb>
source "$(dirname "$0")/container.sh"

readonly kPackagedUnitFile=/lib/systemd/system/$kUnit
readonly kPackagedConfig=/etc/quillrade/quillrade.ini
readonly kPackageInside=/root/quillrade.deb

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
  check_install_leaves_package_alone
  check_purge
  echo "passed in $((SECONDS - begin))s"
}

main "$@"
