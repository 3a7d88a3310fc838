#!/usr/bin/env bash
# The Google Benchmark cases of the kernels that have SIMD levels, run under
# each PARVULA_SIMD value in turn (interleaved, `REPS` rounds), then the mean
# CPU time of each case per level and the ratios sse2 / avx2 and none / avx2.
#   bench/run_simd_levels.sh [BUILD_DIR] [REPS]
# BUILD_DIR must be configured with -DPARVULA_BUILD_BENCH=ON.
set -euo pipefail
build=${1:-build/release}
reps=${2:-3}
cd "$(dirname "$0")/.."
cmake --build "$build" --target jpeg_decode_bench jpeg_encode_bench resize_bench >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
export PARVULA_CORPUS=${PARVULA_CORPUS:-"$PWD/../shared/corpus"}
for rep in $(seq "$reps"); do
  for level in avx2 sse2 none; do
    for b in jpeg_decode_bench jpeg_encode_bench resize_bench; do
      PARVULA_SIMD=$level "$build/bench/$b" --benchmark_min_time=0.2 \
        --benchmark_format=json >"$out/$b.$level.$rep.json" 2>/dev/null
    done
  done
done
/usr/bin/python3 - "$out" <<'PY'
import collections, glob, json, os, sys
times = collections.defaultdict(list)
for path in glob.glob(os.path.join(sys.argv[1], "*.json")):
    level = os.path.basename(path).split(".")[1]
    for b in json.load(open(path))["benchmarks"]:
        times[(b["name"], level)].append(b["cpu_time"] * {"ns": 1e-6, "us": 1e-3, "ms": 1.0}[b["time_unit"]])
names = sorted({n for n, _ in times})
print(f"{'case':58} {'avx2 ms':>9} {'sse2 ms':>9} {'none ms':>9} {'sse2/avx2':>9} {'none/avx2':>9}")
for n in names:
    m = {l: sum(times[(n, l)]) / len(times[(n, l)]) for l in ("avx2", "sse2", "none")}
    if m["avx2"] <= 0:
        continue
    print(f"{n:58} {m['avx2']:9.3f} {m['sse2']:9.3f} {m['none']:9.3f} "
          f"{m['sse2'] / m['avx2']:9.2f} {m['none'] / m['avx2']:9.2f}")
PY
