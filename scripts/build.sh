#!/usr/bin/env bash
# Installs the dependencies and builds velk and kylgwd.
#   scripts/build.sh                 normal build in build/
#   scripts/build.sh sanitize        AddressSanitizer + UndefinedBehaviorSanitizer build (clang) in build-asan/
#   scripts/build.sh tsan            ThreadSanitizer build (clang) in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

"$(pwd)/scripts/install-deps.sh"

mode="${1:-normal}"
jobs="$(nproc)"
case "$mode" in
  normal)
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build build -j "$jobs"
    ;;
  sanitize)
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
          -DVELK_SANITIZE=ON
    cmake --build build-asan -j "$jobs"
    ;;
  tsan)
    cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
          -DVELK_TSAN=ON
    cmake --build build-tsan -j "$jobs"
    ;;
  *)
    echo "usage: $0 [normal|sanitize|tsan]" >&2
    exit 64
    ;;
esac
