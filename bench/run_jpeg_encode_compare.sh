#!/usr/bin/env bash
# Times our JPEG writer and cjpeg on the same pixels in one hyperfine run:
# quality 80, 4:2:0 chroma, optimised Huffman tables, baseline, at 1024 x 768
# and 4000 x 3000 (a corpus photograph resized by ImageMagick), and prints
# the time ratio (ours / cjpeg) and the file-size ratio (ours / cjpeg).
#   bench/run_jpeg_encode_compare.sh [BUILD_DIR]   (default build/bench)
# Ours is `parvula-cli convert IN.bmp OUT.jpg --quality 80` when the command
# line is built, otherwise `jpeg_encode_bench --encode IN.ppm OUT.jpg 80`
# (the same writer behind a minimal driver). Both read their input file.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
if [ ! -x "$build/bench/jpeg_encode_bench" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPARVULA_BUILD_BENCH=ON \
    -DPARVULA_BUILD_APP=OFF >/dev/null
  cmake --build "$build" -j2 --target jpeg_encode_bench >/dev/null
fi
cmake --build "$build" -j2 --target parvula-cli >/dev/null 2>&1 || true
photo=../shared/corpus/photos/nolmoonen/012mp-bus.jpg
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cli="$build/cli/parvula-cli"
py=/usr/bin/python3
printf '%-10s %10s %10s %8s %12s %12s %8s\n' size ours_ms cjpeg_ms t_ratio ours_bytes cjpeg_bytes s_ratio
for size in 1024x768 4000x3000; do
  convert "$photo" -resize "${size}!" -depth 8 "$work/src_$size.ppm"
  convert "$work/src_$size.ppm" -type TrueColor BMP3:"$work/src_$size.bmp"
  if [ -x "$cli" ]; then
    ours="$cli convert $work/src_$size.bmp $work/ours_$size.jpg --quality 80"
  else
    ours="$build/bench/jpeg_encode_bench --encode $work/src_$size.ppm $work/ours_$size.jpg 80"
  fi
  peer="cjpeg -quality 80 -optimize -sample 2x2 -outfile $work/cjpeg_$size.jpg $work/src_$size.ppm"
  hyperfine -N --warmup 2 --runs 15 --export-json "$work/h_$size.json" \
    -n ours "$ours" -n cjpeg "$peer" >/dev/null
  read -r t_ours t_peer < <($py -c "import json; r=json.load(open('$work/h_$size.json'))['results']
print(*(x['median']*1000 for x in r))")
  b_ours=$(stat -c %s "$work/ours_$size.jpg")
  b_peer=$(stat -c %s "$work/cjpeg_$size.jpg")
  $py -c "print(f'{\"$size\":<10} {$t_ours:10.1f} {$t_peer:10.1f} {$t_ours/$t_peer:8.2f} {$b_ours:12d} {$b_peer:12d} {$b_ours/$b_peer:8.3f}')"
done
echo "Median wall times of whole processes (read input, encode, write). Ours: $([ -x "$cli" ] && echo parvula-cli convert || echo jpeg_encode_bench --encode)."
