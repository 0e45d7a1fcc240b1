#!/usr/bin/env bash
# Checks the source tree's layers: a file in src/<folder>/ may include only its own
# folder and the folders below it in the order
#   platform <- util <- config <- runtime <- status <- engine <- check <- host
# and only src/platform/ may include operating-system headers.
#
#   check_layers.sh <source root>   checks <source root>/src; lists every violation
#   check_layers.sh --self-test     checks that small broken trees are refused
set -euo pipefail

readonly kLayers=(platform util config runtime status engine check host)

# POSIX, Linux and Windows headers. ISO C headers that also exist on every
# platform (errno.h, time.h, string.h, ...) are not in this list.
readonly kOsHeader='^(unistd|poll|termios|pthread|signal|fcntl|dirent|sched|spawn|pwd|grp|dlfcn|execinfo|ifaddrs|netdb|syslog|semaphore|ucontext|mqueue|aio|glob|wordexp|libgen|ftw|utmp|windows|winsock2|ws2tcpip|io|direct|process|shlobj|tlhelp32|dbghelp)\.h$|^(sys|netinet|arpa|net|linux|asm|systemd)/'

layer_rank() {
  local i
  for i in "${!kLayers[@]}"; do
    if [ "${kLayers[$i]}" = "$1" ]; then
      echo "$i"
      return
    fi
  done
  echo -1
}

# Prints one line per violation under $1/src; returns 1 when there was one.
check_tree() {
  local root=$1 found=0 file folder rank line name target
  while IFS= read -r file; do
    folder=${file#"$root"/src/}
    folder=${folder%%/*}
    rank=$(layer_rank "$folder")
    if [ "$rank" -lt 0 ]; then
      echo "${file#"$root"/}: folder \"$folder\" is not a layer"
      found=1
      continue
    fi
    while IFS= read -r line; do
      if [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]]; then
        name=${BASH_REMATCH[1]}
        [[ $name == */* ]] || continue
        target=${name%%/*}
        if [ "$(layer_rank "$target")" -lt 0 ] || [ "$(layer_rank "$target")" -gt "$rank" ]; then
          echo "${file#"$root"/}: includes \"$name\" against the layer order"
          found=1
        fi
      elif [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\<([^\>]+)\> ]]; then
        name=${BASH_REMATCH[1]}
        if [ "$folder" != platform ] && [[ $name =~ $kOsHeader ]]; then
          echo "${file#"$root"/}: includes the OS header <$name> outside src/platform/"
          found=1
        fi
      fi
    done < <(grep -E '^[[:space:]]*#[[:space:]]*include' "$file" || true)
  done < <(find "$root/src" -type f \( -name '*.h' -o -name '*.cc' \) | sort)
  return "$found"
}

# Each broken tree must be refused and the sound one accepted.
self_test() {
  local dir
  dir=$(mktemp -d)
  trap 'rm -rf "$dir"' RETURN
  write() { mkdir -p "$(dirname "$dir/$1")"; printf '%s\n' "$2" > "$dir/$1"; }
  write ok/src/host/a.cc '#include "engine/task.h"'
  write ok/src/platform/b.cc '#include <sys/socket.h>'
  write ok/src/util/c.cc '#include <cerrno>'
  write up/src/util/a.cc '#include "engine/task.h"'
  write os/src/status/a.cc '#  include <sys/socket.h>'
  write posix/src/runtime/a.h '#include <pthread.h>'
  write stray/src/misc/a.cc '#include <string>'
  check_tree "$dir/ok" || { echo "self-test: a sound tree was refused"; return 1; }
  local broken
  for broken in up os posix stray; do
    if check_tree "$dir/$broken" >/dev/null; then
      echo "self-test: the tree \"$broken\" was accepted"
      return 1
    fi
  done
  echo "self-test passed"
}

if [ "${1:-}" = "--self-test" ]; then
  self_test
else
  check_tree "${1:?source root}"
fi
