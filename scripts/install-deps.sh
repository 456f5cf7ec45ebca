#!/usr/bin/env bash
# Installs every Debian package velk needs to build, test, package and
# benchmark: compilers and tools (python3 for the layering check and the
# benchmark), the libraries it links (OpenSSL, libcrypt, libdeflate,
# libfuse 3 for the mount, with fuse3's fusermount3 to unmount it),
# GoogleTest, GNU tar and bsdtar for the interoperability tests, gdb for the
# stacks of a program that overran its time in a test, groff and
# man-db to check the manual pages, dpkg-dev and file for the Debian
# package.  (systemd-analyze, from systemd, checks the unit file where it is
# installed; it is not installed here, as a container has no use for it.)
# Idempotent: does nothing when all packages are present; runs apt-get
# update at most once.  Needs root (or sudo) only when something is missing.
set -euo pipefail

PACKAGES=(
  cmake g++ clang clang-format make
  libssl-dev libcrypt-dev libdeflate-dev
  libfuse3-dev fuse3
  libgtest-dev libgmock-dev
  libclang-rt-14-dev
  tar libarchive-tools python3 gdb
  groff-base man-db dpkg-dev file
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
