#!/usr/bin/env bash
# Digests of what the library makes of every corpus file: the description
# (format, size, error code), the decoded pixels written as BMP, the file
# written as JPEG and as BMP run-length, and the e-mail road's output. Two
# runs (before and after a change that must not change output) are compared
# with diff.
# EMAIL_FLAGS are added to the e-mail command (--whole-bitmap compares the
# two roads); its report (messages, exit code) is digested too.
#   scripts/corpus_digests.sh [CLI] [CORPUS] > digests.txt
set -uo pipefail
cli=$(realpath "${1:-build/release/cli/parvula-cli}")
corpus=${2:-"$(dirname "$0")/../../shared/corpus"}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
digest() { if [ -s "$1" ]; then md5sum <"$1" | cut -c1-12; else echo -; fi; }
find "$corpus" -type f ! -name '*.tsv' ! -name '*.md' | LC_ALL=C sort | while read -r f; do
  rel=${f#"$corpus"/}
  rm -rf "$work"/*
  info=$("$cli" info "$f" 2>&1 | grep -a -v -i 'file name\|date\|path' | md5sum | cut -c1-12)
  "$cli" convert "$f" "$work/p.bmp" >/dev/null 2>&1
  "$cli" convert "$f" "$work/p.jpg" >/dev/null 2>&1
  "$cli" convert "$f" "$work/r.bmp" --compression 2 >/dev/null 2>&1
  mkdir -p "$work/m" && cp "$f" "$work/m/"
  # shellcheck disable=SC2086
  report=$( (cd "$work/m" && "$cli" email -q ${EMAIL_FLAGS:-} "$work/m/$(basename "$f")" 2>&1; echo "exit $?") |
    sed "s|$work||g" | md5sum | cut -c1-12)
  mail=$(find "$work/m/email" -type f 2>/dev/null | head -1)
  echo "$rel $info $(digest "$work/p.bmp") $(digest "$work/p.jpg") $(digest "$work/r.bmp") $(digest "${mail:-/nonexistent}") $report"
done
