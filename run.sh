#!/usr/bin/env bash
# Installs what is missing, builds Release, then runs the main job:
#   ./run.sh PATH...   converts the pictures (files or folders) into e-mail JPEGs
#   ./run.sh           opens the window
set -euo pipefail
cd "$(dirname "$0")"
./scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ >/dev/null
# Only the programs: the tests are ./test.sh's job.
targets=(parvula-cli)
if cmake --build build/release --target help | grep -q '^parvula:'; then targets+=(parvula); fi
cmake --build build/release -j"$(nproc)" --target "${targets[@]}"

if [ $# -gt 0 ]; then
  exec build/release/cli/parvula-cli email "$@"
fi
if [ ! -x build/release/app/parvula ]; then
  echo "parvula: the window was not built (Qt 6 Widgets missing?); ./run.sh PATH... converts pictures." >&2
  exit 1
fi
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "parvula: no display to open the window on; ./run.sh PATH... converts pictures." >&2
  exit 1
fi
exec build/release/app/parvula
