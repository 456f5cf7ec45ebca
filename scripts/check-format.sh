#!/usr/bin/env bash
# Fails when a tracked C++ source or header differs from what clang-format
# makes of it with the repository's .clang-format.  With --fix, rewrites the
# files in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
clang-format --dry-run --Werror "${files[@]}"
