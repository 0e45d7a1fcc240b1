#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Quillrade needs.
# Idempotent and quiet when everything is present; works as root and through sudo.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libcurl4-openssl-dev libxml2-dev libcivetweb-dev libsystemd-dev
  libgtest-dev libgmock-dev
  curl python3 procps
)
if [ "${1:-}" = "--test" ]; then
  # What only the test and benchmark runs use: clang's libFuzzer/sanitizer runtime,
  # clang-format for the formatting check, gdb's gcore for the crash reporter's
  # dump, wrk for load runs, headless Chromium for the page screenshot tests,
  # prometheus for promtool, which checks the /metrics text; debhelper, scdoc and
  # lintian build and check the Debian package and its man page, man-db renders
  # the page, systemd-analyze (systemd) checks the unit; debootstrap and
  # systemd-nspawn for the service tests under a booted Debian.
  packages+=(clang libclang-rt-14-dev clang-format gdb wrk chromium prometheus
             debhelper scdoc lintian man-db systemd debootstrap systemd-container)
fi
if [ "${1:-}" = "--test" ] || [ "${1:-}" = "--windows" ]; then
  # The Windows build: Debian's mingw-w64 cross compilers (posix-threads variant),
  # what building the dependencies from Debian's source packages needs
  # (scripts/build-windows-deps.sh), Wine to run the results, zip for the download,
  # wixl (from the msitools source) for the installer.
  packages+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
             mingw-w64-x86-64-dev dpkg-dev autoconf automake libtool make
             wine wine64 zip unzip wixl)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi
echo "Installing: ${missing[*]}"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
