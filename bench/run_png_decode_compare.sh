#!/usr/bin/env bash
# Times our PNG reader and Pillow's on the same big file: a corpus photograph
# (Canon_EOS_20D_2.jpg, 2336 x 3504) saved by Pillow as an RGB PNG at
# compress_level 6, plain and Adam7-interlaced.
#   bench/run_png_decode_compare.sh [BUILD_DIR]   (default build/release)
# Ours: `parvula-cli info FILE` (loads the file into a bitmap), the whole
# process. Pillow: Image.open + load in one process; the start of Python is
# not counted. Both in CPU time (user + system), best of 10 runs: the
# machine is shared, and wall times follow its load more than the code.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
cmake --build "$build" -j2 --target parvula-cli >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
py=/usr/bin/python3
src=../shared/corpus/jpeg/metadata-extractor/Canon_EOS_20D_2.jpg
$py - "$src" "$work" <<'PY'
import sys
from PIL import Image
im = Image.open(sys.argv[1]).convert("RGB")
im.save(sys.argv[2] + "/plain.png", compress_level=6)
im.save(sys.argv[2] + "/adam7.png", compress_level=6, interlace=1)
PY
printf '%-10s %9s %9s %7s\n' file ours_ms pillow_ms ratio
for f in plain adam7; do
  ours=$(for i in $(seq 10); do
    /usr/bin/time -f '%U %S' "$build/cli/parvula-cli" info "$work/$f.png" 2>&1 >/dev/null | tail -1
  done | $py -c "import sys; print(round(min(float(a) + float(b) for a, b in (l.split() for l in sys.stdin)) * 1000, 1))")
  pillow=$($py - "$work/$f.png" <<'PY'
import sys, time
from PIL import Image
best = 1e9
for _ in range(10):
    t = time.process_time()
    with Image.open(sys.argv[1]) as im:
        im.load()
    best = min(best, time.process_time() - t)
print(round(best * 1000, 1))
PY
)
  printf '%-10s %9s %9s %7s\n' "$f" "$ours" "$pillow" "$($py -c "print(round($ours/$pillow, 2))")"
done
