#!/usr/bin/env bash
# Fails when a C++ source or header of the product (common, api_extensions,
# nxclient, src, gateway), the fuzz targets or the benchmarks differs from
# what clang-format makes of it with the repository's .clang-format.  With
# --fix, rewrites the files in place instead.  Test sources keep their
# hand-laid case tables (tests/.clang-format).
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files -- common api_extensions nxclient src gateway fuzz bench |
                     grep -E '\.(cpp|h)$')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
clang-format --dry-run --Werror "${files[@]}"
