#!/usr/bin/env bash
# The main road side by side: parvula-cli email, vipsthumbnail, ImageMagick's
# mogrify and Pillow convert the corpus photographs to 1024-pixel quality-80
# JPEGs, each on 1 core and on 2 cores, in one run, beside djpeg decoding
# the same files alone. Prints the mean wall time
# (hyperfine), the peak memory (/usr/bin/time) and each peer's time divided by
# ours.
#   bench/run_email_compare.sh [build-dir] [photo-folder]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
photos=${2:-../shared/corpus/photos}
runs=${RUNS:-3}

need=()
command -v hyperfine >/dev/null || need+=(hyperfine)
command -v vipsthumbnail >/dev/null || need+=(libvips-tools)
command -v mogrify >/dev/null || need+=(imagemagick)
command -v djpeg >/dev/null || need+=(libjpeg-turbo-progs)
[ -x /usr/bin/time ] || need+=(time)
/usr/bin/python3 -c 'import PIL' 2>/dev/null || need+=(python3-pil)
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
mkdir -p "$work/in"
find "$photos" -type f \( -iname '*.jpg' -o -iname '*.jpeg' \) -exec cp {} "$work/in/" \;
count=$(ls "$work/in" | wc -l)
echo "$count photographs, $(du -sh "$work/in" | cut -f1)"
out="$work/out"
files="$work/in/*"

# name | command (run in $work); {P} is replaced by the parallelism (1 or 2).
declare -a names cmds
add() { names+=("$1"); cmds+=("$2"); }
add parvula "'$cli' email -q -j {P} '$work/in' && mv '$work/in/email' '$out'"
add vipsthumbnail "ls $files | VIPS_CONCURRENCY=1 xargs -P {P} -n 1 -I F vipsthumbnail F --size 1024x1024 -o '$out/%s.jpg[Q=80,optimize_coding]'"
add mogrify "ls $files | MAGICK_THREAD_LIMIT=1 xargs -P {P} -n 1 mogrify -path '$out' -resize '1024x1024>' -quality 80"
add pillow "ls $files | xargs -P {P} -n 1 /usr/bin/python3 '$PWD/bench/peers/email_pillow.py' '$out'"
# The floor every peer stands on: decoding alone, no resize and no write.
add djpeg-decode "ls $files | xargs -P {P} -n 1 djpeg -outfile /dev/null"

results="$work/results.tsv"
for cores in 1 2; do
  cpus=$([ "$cores" = 1 ] && echo 0 || echo 0,1)
  for i in "${!names[@]}"; do
    cmd=${cmds[$i]//\{P\}/$cores}
    full="taskset -c $cpus bash -c \"$cmd\""
    prep="rm -rf '$out' '$work/in/email'; mkdir -p '$out'"
    hyperfine --runs "$runs" --warmup 1 --prepare "$prep" --export-json "$work/h.json" \
      --style none "$full" >/dev/null
    mean=$(/usr/bin/python3 -c "import json;print(json.load(open('$work/h.json'))['results'][0]['mean'])")
    eval "$prep"
    peak=$( { /usr/bin/time -f '%M' bash -c "taskset -c $cpus bash -c \"$cmd\"" >/dev/null; } 2>&1 | tail -1)
    printf '%s\t%s\t%s\t%s\n' "$cores" "${names[$i]}" "$mean" "$peak" >>"$results"
  done
done

/usr/bin/python3 - "$results" <<'PY'
import sys
rows = [l.split("\t") for l in open(sys.argv[1]).read().split("\n") if l]
by = {}
for cores, name, mean, peak in rows:
    by.setdefault(cores, {})[name] = (float(mean), int(peak))
print(f"{'cores':>5}  {'tool':<14} {'time s':>8} {'peak MiB':>9} {'time / parvula':>15}")
for cores, tools in by.items():
    ours = tools["parvula"][0]
    for name, (mean, peak) in tools.items():
        print(f"{cores:>5}  {name:<14} {mean:8.2f} {peak / 1024:9.0f} {mean / ours:15.2f}")
PY
