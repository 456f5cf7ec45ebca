#!/usr/bin/env bash
# Installs the dependencies and builds velk and kylgwd.
#   scripts/build.sh                 normal build in build/
#   scripts/build.sh sanitize        AddressSanitizer + UndefinedBehaviorSanitizer build (clang) in build-asan/
#   scripts/build.sh tsan            ThreadSanitizer build (clang) in build-tsan/
# VELK_WERROR=ON in the environment turns compiler warnings into errors (the
# test command does that; a user's newer compiler may warn where ours does
# not, and that should not stop a build).
set -euo pipefail
cd "$(dirname "$0")/.."

"$(pwd)/scripts/install-deps.sh"

mode="${1:-normal}"
jobs="$(nproc)"
werror="-DVELK_WERROR=${VELK_WERROR:-OFF}"
case "$mode" in
  normal)
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "$werror"
    cmake --build build -j "$jobs"
    ;;
  sanitize)
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
          -DVELK_SANITIZE=ON "$werror"
    cmake --build build-asan -j "$jobs"
    ;;
  tsan)
    cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
          -DVELK_TSAN=ON "$werror"
    cmake --build build-tsan -j "$jobs"
    ;;
  *)
    echo "usage: $0 [normal|sanitize|tsan]" >&2
    exit 64
    ;;
esac
