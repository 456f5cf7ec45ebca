#!/usr/bin/env bash
# Prints the lines of product code (common, api_extensions, nxclient, src,
# gateway) and of tests (tests/, fuzz/), counting C++ sources and headers,
# and the ratio of the two.  Exits 1 when tests exceed the allowed share of
# product code (VELK_TEST_RATIO_MAX, default 0.40).
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
  local n
  n=$(git ls-files -co --exclude-standard -- "$@" | grep -E '\.(cpp|h|hpp|cc)$' |
      while read -r f; do [ -f "$f" ] && cat "$f"; done | wc -l)
  echo "$n"
}

product=$(count common api_extensions nxclient src gateway)
tests=$(count tests fuzz)
ratio=$(awk -v t="$tests" -v p="$product" 'BEGIN { printf "%.2f", (p ? t / p : 0) }')
max="${VELK_TEST_RATIO_MAX:-0.40}"
echo "product lines: $product"
echo "test lines:    $tests"
echo "ratio:         $ratio (at most $max)"
awk -v r="$ratio" -v m="$max" 'BEGIN { exit !(r <= m) }'
