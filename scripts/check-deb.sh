#!/usr/bin/env bash
# Checks the package that scripts/build-deb.sh built, without installing it
# (installing runs the real systemctl): every path it must hold, the conffile,
# computed library dependencies, the purge step, lintian without errors, the
# unit accepted by systemd-analyze, the man page rendered without warnings and
# the package's version equal to the program's.
set -euo pipefail
cd "$(dirname "$0")/.."
debs=(build/deb/quillrade_*.deb)
deb=${debs[0]}
[ -f "$deb" ] || { echo "no package in build/deb; run scripts/build-deb.sh"; exit 1; }
failed=0
fail() { echo "FAIL: $*"; failed=1; }

contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
for path in ./usr/bin/quillrade ./lib/systemd/system/quillrade.service \
    ./etc/quillrade/quillrade.ini ./usr/share/man/man1/quillrade.1.gz \
    ./usr/share/doc/quillrade/copyright ./usr/share/doc/quillrade/changelog.gz \
    ./usr/share/doc/quillrade/README.md ./usr/share/doc/quillrade/configuration.md \
    ./usr/share/doc/quillrade/examples/quillrade-example.ini \
    ./usr/share/doc/quillrade/examples/nowplaying.xml; do
  grep -qx -e "$path" -e "$path.gz" <<<"$contents" || fail "$path is missing"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -e "$deb" "$work/control"
dpkg-deb -x "$deb" "$work/root"
grep -qx /etc/quillrade/quillrade.ini "$work/control/conffiles" || fail "no conffile"
cmp -s examples/quillrade-example.ini "$work/root/etc/quillrade/quillrade.ini" ||
  fail "the conffile is not the example"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libcurl4 libxml2 libcivetweb libsystemd0 libstdc++6; do
  grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done
grep -q 'rm -rf /var/lib/quillrade' "$work/control/postrm" || fail "purge keeps /var/lib/quillrade"
grep -q 'deb-systemd-helper' "$work/control/postinst" || fail "postinst does not enable the unit"

unit=$work/root/lib/systemd/system/quillrade.service
grep -qx 'ExecStart="/usr/bin/quillrade" servicerun ini_file=/etc/quillrade/quillrade.ini crash_dir=/var/lib/quillrade' \
  "$unit" || fail "unexpected ExecStart"
# systemd-analyze checks the unit against the unpacked package: the program path
# points into it, and MANPATH lets it find the man page that Documentation= names.
mkdir "$work/units"
sed "s|\"/usr/bin/quillrade\"|\"$work/root/usr/bin/quillrade\"|" "$unit" >"$work/units/quillrade.service"
if ! verify=$(MANPATH=$work/root/usr/share/man systemd-analyze verify \
    "$work/units/quillrade.service" 2>&1) || [ -n "$verify" ]; then
  fail "systemd-analyze verify: $verify"
fi

page=$work/root/usr/share/man/man1/quillrade.1.gz
if ! warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) ||
    [ -n "$warnings" ]; then
  fail "man -l: $warnings"
fi
for section in 'COMMAND-LINE KEYS' CONFIGURATION 'STATUS CHANNELS' FILES 'EXIT STATUS' SIGNALS; do
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "^$section" ||
    fail "man page lacks $section"
done

program_version=$("$work/root/usr/bin/quillrade" help </dev/null | sed -n 's/^Quillrade Service: quillrade \([^ ]*\)$/\1/p')
[ "$program_version" = "$(dpkg-deb -f "$deb" Version)" ] ||
  fail "package version $(dpkg-deb -f "$deb" Version) is not the program's $program_version"

# Errors fail; warnings and notes are listed (README.md says which remain and why).
lintian_status=0
lintian_output=$(lintian --fail-on error -I --tag-display-limit 0 "$deb" 2>&1) || lintian_status=$?
grep -v '^running with root privileges' <<<"$lintian_output" || true
[ "$lintian_status" -eq 0 ] || fail "lintian reports errors"

[ "$failed" -eq 0 ] && echo "package checks passed: $deb"
exit "$failed"
