#!/usr/bin/env bash
# Times our JPEG reader and djpeg on the same files in one hyperfine run per
# file: the photographs of the corpus (baseline and progressive, 9 to 20
# megapixels) and the large progressive files of jpeg-progressive/.
#   bench/run_jpeg_decode_compare.sh [BUILD_DIR]   (default build/bench)
# Ours: `jpeg_decode_bench --decode FILE` (reads the file through the buffered
# file stream into a new bitmap, as `parvula-cli convert` does, then frees it).
# Peers: `djpeg` (its defaults) and `djpeg -dct float -nosmooth` (the closest
# arithmetic), both writing their PPM to /dev/null.
# Prints median wall times and the ratios ours / djpeg; below 1 means faster.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
if [ ! -x "$build/bench/jpeg_decode_bench" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPARVULA_BUILD_BENCH=ON \
    -DPARVULA_BUILD_APP=OFF >/dev/null
fi
cmake --build "$build" -j2 --target jpeg_decode_bench >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
py=/usr/bin/python3
files=$(find ../shared/corpus/photos -name '*.jpg' | sort)
files="$files ../shared/corpus/jpeg-progressive/zune-image/speed_bench_prog_h_sampling.jpg"
printf '%-40s %6s %9s %9s %9s %8s %8s\n' file kind ours_ms djpeg_ms float_ms /djpeg /float
for f in $files; do
  kind=$($py -c "
import sys
d=open('$f','rb').read(); i=2
while i+4<=len(d):
    if d[i]!=0xFF: i+=1; continue
    m=d[i+1]
    if m in (0xC0,0xC1): print('base'); break
    if m==0xC2: print('prog'); break
    if m in (0xD8,0x01) or 0xD0<=m<=0xD7 or m==0xFF: i+=1 if m==0xFF else 2; continue
    i+=2+(d[i+2]<<8|d[i+3])
")
  hyperfine -N --warmup 2 --runs 10 --export-json "$work/h.json" \
    -n ours "$build/bench/jpeg_decode_bench --decode $f" \
    -n djpeg "djpeg -outfile /dev/null $f" \
    -n float "djpeg -dct float -nosmooth -outfile /dev/null $f" >/dev/null 2>&1
  $py -c "
import json
r={x['command']:x['median']*1000 for x in json.load(open('$work/h.json'))['results']}
print(f\"{'$(basename "$f")'[:40]:<40} {'$kind':>6} {r['ours']:9.1f} {r['djpeg']:9.1f} {r['float']:9.1f} {r['ours']/r['djpeg']:8.2f} {r['ours']/r['float']:8.2f}\")"
done
