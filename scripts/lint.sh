#!/usr/bin/env bash
# Code-format check and the rounding rule: library code never rounds with the
# C library's half-away-from-zero functions.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0
files=$(git ls-files '*.cpp' '*.h' 2>/dev/null || true)
if [ -n "$files" ] && command -v clang-format >/dev/null; then
  if ! clang-format --dry-run -Werror $files 2>/tmp/parvula-format.log; then
    echo "clang-format: these files need formatting:"
    grep -oE '^[^: ]+\.(cpp|h):' /tmp/parvula-format.log | sort -u
    status=1
  fi
fi
if git grep -nE 'std::l?l?round\b|\blround\(|\bllround\(' -- imaging road 2>/dev/null; then
  echo "lint: use the half-to-even helpers of platform/rounding.h"; status=1
fi
exit $status
