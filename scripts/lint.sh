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
# Fences: a private header (anything under imaging/ outside include/) is
# included only by the files of its own folder, and a format's own header
# (<format>_*.h) only by that format's files. Tests, benchmarks and fuzz
# targets may look inside.
for h in $(git ls-files 'imaging/*.h' | grep -v '^imaging/include/'); do
  dir=$(dirname "$h"); base=$(basename "$h"); prefix=${base%%_*}
  for f in $(git grep -l -F "#include \"$base\"" -- imaging; git grep -l -F "/$base\"" -- imaging); do
    fdir=$(dirname "$f"); fbase=$(basename "$f")
    if [ "$fdir" != "$dir" ]; then
      echo "fence: $f includes $h from outside $dir"; status=1
    elif [ "$dir" = imaging/formats ] && [[ "$base" == *_internal.h ]] && [[ "$fbase" != "${prefix}_"* ]]; then
      echo "fence: $f includes $h, private to the ${prefix} files"; status=1
    fi
  done
done
exit $status
