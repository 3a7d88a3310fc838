#!/usr/bin/env bash
# The streaming road's two measures, in one run: the peak memory of
# parvula-cli email on a 20000 x 20000 baseline JPEG (made here) against
# vipsthumbnail (and the whole-bitmap road, which cannot hold it), and the
# time of one 20-megapixel photograph converted with -j 2 against djpeg's
# decode of the same file.
#   bench/run_stream_compare.sh [build-dir] [photo]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
photo=${2:-../shared/corpus/photos/debian-lomiri-wallpapers/Kleiber_by_Lukas_Baubkus.jpg}
runs=${RUNS:-10}

need=()
command -v hyperfine >/dev/null || need+=(hyperfine)
command -v vipsthumbnail >/dev/null || need+=(libvips-tools)
command -v cjpeg >/dev/null || need+=(libjpeg-turbo-progs)
[ -x /usr/bin/time ] || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi
if [ ! -x "$build/cli/parvula-cli" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" --target parvula-cli
fi
cli=$(realpath "$build/cli/parvula-cli")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 bench/peers/big_ppm.py 20000 20000 | cjpeg -quality 90 >"$work/big.jpg"
echo "20000 x 20000 baseline JPEG: $(du -m "$work/big.jpg" | cut -f1) MB"

# Peak resident memory in MiB, and the exit status.
peak() {
  /usr/bin/time -f '%M %x' "$@" 2>&1 >/dev/null | tail -1 | awk '{printf "%6.1f MiB (exit %s)", $1 / 1024, $2}'
}
printf '%-32s %s\n' "parvula-cli email" "$(peak "$cli" email -q "$work/big.jpg" -o "$work/a")"
printf '%-32s %s\n' "parvula-cli email --whole-bitmap" \
  "$(peak "$cli" email -q --whole-bitmap "$work/big.jpg" -o "$work/b")"
printf '%-32s %s\n' "vipsthumbnail" \
  "$(peak vipsthumbnail "$work/big.jpg" --size 1024x1024 -o "$work/v.jpg[Q=80,optimize_coding]")"
rm -f "$work/big.jpg"

# One photograph on two cores against djpeg's decode alone (one core).
cp "$photo" "$work/photo.jpg"
hyperfine --runs "$runs" --warmup 2 --export-json "$work/h.json" --style none \
  "djpeg -outfile /dev/null '$work/photo.jpg'" \
  "taskset -c 0,1 '$cli' email -q -j 2 '$work/photo.jpg' -o '$work/o'" >/dev/null
/usr/bin/python3 - "$work/h.json" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))["results"]
djpeg, ours = r[0]["mean"], r[1]["mean"]
print(f"djpeg decode {djpeg * 1000:.0f} ms, parvula-cli email -j 2 {ours * 1000:.0f} ms: "
      f"{ours / djpeg:.2f} x djpeg")
PY
