#!/usr/bin/env bash
# Builds the Debian packages velk and kylgwd: a Release build without the
# tests in build-package/ (installing under /usr), then CPack.  Each
# package's dependencies are the runtime libraries dpkg-shlibdeps finds in
# its binaries plus those cmake/VelkInstall.cmake lists.  Prints the
# packages' paths.
#   scripts/package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

"$(pwd)/scripts/install-deps.sh"

bdir="${1:-build-package}"
cmake -S . -B "$bdir" -DCMAKE_BUILD_TYPE=Release -DVELK_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr \
      "-DVELK_WERROR=${VELK_WERROR:-OFF}"
cmake --build "$bdir" -j "$(nproc)"
rm -f "$bdir"/velk_*.deb "$bdir"/kylgwd_*.deb
(cd "$bdir" && cpack -G DEB >/dev/null)
ls "$(pwd)/$bdir"/velk_*.deb "$(pwd)/$bdir"/kylgwd_*.deb
