#!/usr/bin/env bash
# Installs every Debian package velk needs to build, test and benchmark.
# Idempotent: does nothing when all packages are present; runs apt-get
# update at most once.  Needs root (or sudo) only when something is missing.
set -euo pipefail

PACKAGES=(
  cmake g++ clang clang-format make pkg-config
  libtirpc-dev libssl-dev libcrypt-dev zlib1g-dev libdeflate-dev
  libgtest-dev libgmock-dev
  libclang-rt-14-dev
  tar libarchive-tools
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
