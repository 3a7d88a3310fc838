#!/usr/bin/env bash
# Times our bicubic resize and Pillow's Image.resize(..., Image.BICUBIC) on the
# same picture in one run, and prints the ratio (Pillow time / ours).
#   bench/run_resize_compare.sh [BUILD_DIR]   (default build/bench)
# Needs Google Benchmark and /usr/bin/python3 with Pillow (Debian python3-pil).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
if [ ! -x "$build/bench/resize_bench" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPARVULA_BUILD_BENCH=ON \
    -DPARVULA_BUILD_APP=OFF >/dev/null
  cmake --build "$build" -j2 --target resize_bench >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
py=/usr/bin/python3
printf '%-24s %12s %12s %8s\n' "case" "ours_ms" "pillow_ms" "ratio"
for c in "4000 3000 1024 768" "6000 4000 1024 683"; do
  set -- $c
  img="$work/src_$1x$2.ppm"
  $py bench/peers/resize_pillow.py make "$img" "$1" "$2"
  ours=$(PARVULA_BENCH_IMAGE="$img" PARVULA_BENCH_SIZE="$3x$4" "$build/bench/resize_bench" \
    --benchmark_filter='^BM_Bicubic_File$' --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true --benchmark_format=json |
    $py -c 'import json,sys; d=json.load(sys.stdin)
print(min(b["cpu_time"] for b in d["benchmarks"] if b.get("aggregate_name")=="median"))')
  peer=$($py bench/peers/resize_pillow.py time "$img" "$3" "$4" 15 | sed -E 's/.*median_ms=([0-9.]+).*/\1/')
  ratio=$($py -c "print(f'{$peer/$ours:.2f}')")
  printf '%-24s %12.2f %12.2f %8s\n' "$1x$2->$3x$4" "$ours" "$peer" "${ratio}x"
done
echo "Median CPU times: ours = TvexImageTransform::Resize(IP_BICUBIC) (4 x 4 taps at any ratio),"
echo "pillow = Image.resize(BICUBIC) (its taps widen with the reduction ratio, so it does more work)."
