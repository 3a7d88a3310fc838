#!/usr/bin/env bash
# Installs what is missing, builds Release, then runs the main job:
#   ./run.sh PATH...   converts the pictures (files or folders) into e-mail JPEGs
#   ./run.sh           opens the window
set -euo pipefail
cd "$(dirname "$0")"
./scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPARVULA_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)"

if [ $# -gt 0 ]; then
  if [ -x build/release/cli/parvula-cli ] && build/release/cli/parvula-cli email --help >/dev/null 2>&1; then
    exec build/release/cli/parvula-cli email "$@"
  fi
  echo "parvula: built; the batch conversion (parvula-cli email) is not there yet." >&2
  exit 1
fi
if [ -x build/release/app/parvula ]; then
  exec build/release/app/parvula
fi
echo "parvula: built; the window is not there yet. Use ./run.sh PATH... once the batch exists." >&2
