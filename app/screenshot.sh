#!/usr/bin/env bash
# Makes docs/screenshots/window.png: the window under Xvfb on a folder of
# corpus photographs, one of them previewed (fitted into the box), a batch
# under way with its summary line (one file is not a picture).
#   app/screenshot.sh [BUILD_DIR]     (default build/release; needs window_test)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
corpus=../shared/corpus/photos
# A quiet place of its own, so that the tree shows little else.
demo=/home/parvula-demo
if [ -e "$demo" ]; then
  echo "$demo exists already; not touching it" >&2
  exit 1
fi
folder="$demo/Pictures"
mkdir -p "$folder"
trap 'rm -rf "$demo"' EXIT

mkdir "$folder/holidays"
cp "$corpus/debian-lomiri-wallpapers/Dragonfly_by_Bolly.jpg" "$folder/dragonfly.jpg"
cp "$corpus/nolmoonen/012mp-bus.jpg" "$folder/bus.jpg"
cp "$corpus/metadata-extractor/Nikon_D90.jpg" "$folder/nikon-d90.jpg"
cp "$corpus/exif-samples/HMD_Nokia_8.3_5G.jpg" "$folder/Phone Photo.JPEG"
echo "not a picture" >"$folder/notes.txt"
echo "not a picture either" >"$folder/damaged.jpg"
# The preview: a photograph larger than the scroll box, fitted into it.
cp "$corpus/debian-lomiri-wallpapers/Kleiber_by_Lukas_Baubkus.jpg" "$folder/kleiber.jpg"
/usr/bin/convert "$corpus/metadata-extractor/Canon_EOS_1000D.jpg" -resize 640x bmp3:"$folder/canon.bmp"

mkdir -p docs/screenshots
xvfb-run -a -s "-screen 0 1280x800x24" env QT_QPA_PLATFORM=xcb \
  PARVULA_SCREENSHOT="$PWD/docs/screenshots/window.png" PARVULA_SCREENSHOT_FOLDER="$folder" \
  PARVULA_SCREENSHOT_PREVIEW=kleiber.jpg "$build/app/window_test" screenshot
echo "docs/screenshots/window.png"
