#!/usr/bin/env bash
# Fails when a C++ source differs from what clang-format (with .clang-format) makes
# of it; lists every place that differs. Changes nothing: fix a file with
#   clang-format -i <file>
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(find src tests bench -name '*.h' -o -name '*.cc' | sort)
[ ${#files[@]} -eq 0 ] && exit 0
clang-format --dry-run -Werror "${files[@]}"
