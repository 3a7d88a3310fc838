#!/usr/bin/env bash
# Installs the Debian packages Parvula needs when any is missing. Quick when all are there.
set -euo pipefail

PACKAGES=(
  # build
  g++ clang cmake ninja-build pkg-config clang-format libclang-rt-14-dev
  # libraries that are not ours
  libgtest-dev libbenchmark-dev libcli11-dev libfmt-dev qt6-base-dev
  # peers we check our files against, and tools for benchmarks and window tests
  python3 python3-pil libjpeg-turbo-progs imagemagick netpbm libtiff-tools pngcheck hyperfine
  xvfb xauth
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "parvula: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
  else
    SUDO=
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
