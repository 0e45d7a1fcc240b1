#!/usr/bin/env bash
# Cross-compiles the Windows build's dependencies (libcurl with Schannel, libxml2
# without iconv, CivetWeb, GoogleTest) from Debian's own source packages with
# Debian's mingw-w64 toolchain, as static libraries, into a prefix outside the repo.
#
#   scripts/build-windows-deps.sh                 builds what is missing, prints the prefix
#   scripts/build-windows-deps.sh --print-prefix  only prints the prefix
#
# The versions are those of the Linux build's development packages (libcurl4-openssl-dev
# and the rest), so both builds link the same library code. The prefix is named after
# those versions and the compiler's, so a new Debian release gets a fresh prefix and
# an unchanged one is reused: a second run only checks its stamps. Needs root for
# apt (the deb-src entries it adds when missing); the packages come from
# scripts/install-deps.sh --windows.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cache_root=${QR_WIN_DEPS_CACHE:-/var/cache/quillrade-win}
triple=x86_64-w64-mingw32
toolchain=$repo/cmake/mingw-w64-x86_64.cmake

# Source package and the binary package whose version the Linux build uses.
declare -A linux_package=(
  [curl]=libcurl4-openssl-dev
  [libxml2]=libxml2-dev
  [civetweb]=libcivetweb-dev
  [googletest]=libgtest-dev
)
sources=(curl libxml2 civetweb googletest)

source_version() {
  local v
  v=$(dpkg-query -W -f='${source:Version}' "${linux_package[$1]}" 2>/dev/null || true)
  if [ -z "$v" ]; then
    v=$(apt-cache policy "${linux_package[$1]}" | awk '/Candidate:/ {print $2}')
  fi
  [ -n "$v" ] && [ "$v" != "(none)" ] || { echo "no version of ${linux_package[$1]} known" >&2; exit 1; }
  echo "$v"
}

declare -A version
key=""
for s in "${sources[@]}"; do
  version[$s]=$(source_version "$s")
  key+="${s}-${version[$s]}_"
done
compiler_version=$($triple-g++-posix -dumpversion 2>/dev/null || echo none)
key+="gcc-$compiler_version"
# Epochs and '+' or '~' in Debian versions make awkward folder names.
prefix=$cache_root/$(echo "$key" | tr ':~+' '___')

if [ "${1:-}" = "--print-prefix" ]; then
  echo "$prefix"
  exit 0
fi

# Our own patches on top of Debian's, per source package (scripts/windows-deps/<name>-*.patch).
patches_of() { find "$repo/scripts/windows-deps" -name "$1-*.patch" 2>/dev/null | sort; }
# A package is rebuilt when its version or its patches change.
stamp() {
  local patched=""
  if [ -n "$(patches_of "$1")" ]; then
    patched=-$(patches_of "$1" | xargs cat | sha256sum | cut -c1-12)
  fi
  echo "$prefix/.stamps/$1-${version[$1]}$patched"
}
all_built() {
  for s in "${sources[@]}"; do [ -f "$(stamp "$s")" ] || return 1; done
}
if all_built; then
  echo "$prefix"
  exit 0
fi

mkdir -p "$cache_root/build" "$cache_root/src" "$prefix/.stamps"
# One builder at a time: a second run waits and then finds the stamps.
exec 9>"$cache_root/.lock"
flock 9
if all_built; then
  echo "$prefix"
  exit 0
fi

log() { echo "build-windows-deps: $*" >&2; }

# apt-get source needs deb-src entries; Debian images often ship without them.
ensure_deb_src() {
  if grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return
  fi
  log "adding deb-src entries"
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -E 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      >/etc/apt/sources.list.d/quillrade-deb-src.sources
  fi
  if [ -f /etc/apt/sources.list ] && grep -qE '^deb ' /etc/apt/sources.list; then
    sed -nE 's/^deb (.*)/deb-src \1/p' /etc/apt/sources.list \
      >/etc/apt/sources.list.d/quillrade-deb-src.list
  fi
  apt-get -o DPkg::Lock::Timeout=600 update -qq
}

# Fetches and unpacks (with Debian's patches applied) one source package; echoes its folder.
fetch_source() {
  local name=$1 ver=$2
  local dir=$cache_root/src/$name-$ver
  if [ ! -f "$dir/.unpacked" ]; then
    rm -rf "$dir"
    mkdir -p "$dir"
    log "fetching $name $ver"
    (cd "$dir" && apt-get source -qq "$name=$ver") >"$dir.log" 2>&1 || { cat "$dir.log" >&2; exit 1; }
    touch "$dir/.unpacked"
  fi
  find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n 1
}

# Echoes a folder with the source and our patches applied: a fresh copy when
# there are patches, so the unpacked source stays as Debian ships it.
patched_source() {
  local name=$1 src=$2 patch
  [ -z "$(patches_of "$name")" ] && { echo "$src"; return; }
  local copy=$cache_root/build/$name-${version[$name]}-src
  rm -rf "$copy"
  cp -a "$src" "$copy"
  for patch in $(patches_of "$name"); do
    patch -d "$copy" -p1 -s <"$patch" >&2 || { echo "cannot apply $patch" >&2; exit 1; }
  done
  echo "$copy"
}

cmake_build() {
  local name=$1 src=$2; shift 2
  local build=$cache_root/build/$name-${version[$name]}
  rm -rf "$build"
  log "building $name ${version[$name]}"
  cmake -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQR_WIN_DEPS_PREFIX="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_CROSSCOMPILING_EMULATOR= "$@" >"$build.log" 2>&1 || { tail -30 "$build.log" >&2; exit 1; }
  cmake --build "$build" -j "$(nproc)" >>"$build.log" 2>&1 || { tail -30 "$build.log" >&2; exit 1; }
  cmake --install "$build" >>"$build.log" 2>&1 || { tail -30 "$build.log" >&2; exit 1; }
  rm -rf "$build" "$cache_root/build/$name-${version[$name]}-src"
}

build_curl() {
  # Schannel for TLS (the system's certificate store), no OpenSSL; Debian ships no
  # Windows zlib, so no compressed transfers either. Debian's last two patches only
  # rename the autotools library for its GnuTLS and NSS flavours; CMake ignores them.
  cmake_build curl "$1" -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_ZLIB=OFF \
    -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF -DUSE_WIN32_IDN=ON \
    -DCURL_USE_LIBPSL=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_DISABLE_LDAP=ON -DENABLE_MANUAL=OFF \
    -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DCURL_STATICLIB=ON
}

build_libxml2() {
  # No iconv for mingw-w64 in Debian: the program registers its own code-page handlers.
  cmake_build libxml2 "$1" -DLIBXML2_WITH_ICONV=OFF -DLIBXML2_WITH_ICU=OFF \
    -DLIBXML2_WITH_LZMA=OFF -DLIBXML2_WITH_ZLIB=OFF -DLIBXML2_WITH_PYTHON=OFF \
    -DLIBXML2_WITH_PROGRAMS=OFF -DLIBXML2_WITH_TESTS=OFF -DLIBXML2_WITH_HTTP=OFF \
    -DLIBXML2_WITH_FTP=OFF
}

build_civetweb() {
  # Plain HTTP as on Linux; the program uses neither TLS nor scripting.
  cmake_build civetweb "$1" -DCIVETWEB_BUILD_TESTING=OFF -DCIVETWEB_ENABLE_SERVER_EXECUTABLE=OFF \
    -DCIVETWEB_ENABLE_SSL=OFF -DCIVETWEB_ENABLE_LUA=OFF -DCIVETWEB_ENABLE_DUKTAPE=OFF \
    -DCIVETWEB_ENABLE_IPV6=ON -DCIVETWEB_ENABLE_WEBSOCKETS=ON -DCIVETWEB_ENABLE_ASAN=OFF \
    -DCIVETWEB_ENABLE_CXX=OFF -DCIVETWEB_INSTALL_EXECUTABLE=OFF -DCIVETWEB_SERVE_NO_FILES=OFF \
    -DCIVETWEB_DISABLE_CGI=ON
}

build_googletest() {
  cmake_build googletest "$1" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON -Dgtest_build_tests=OFF
}

ensure_deb_src
for s in "${sources[@]}"; do
  [ -f "$(stamp "$s")" ] && continue
  src=$(patched_source "$s" "$(fetch_source "$s" "${version[$s]}")")
  "build_$s" "$src"
  touch "$(stamp "$s")"
done
log "done"
echo "$prefix"
