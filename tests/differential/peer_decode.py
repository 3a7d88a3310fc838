"""Decodes image files with Pillow for the differential tests.

Usage: peer_decode.py [--magick] OUT FILE...
With --magick the files are decoded by ImageMagick (/usr/bin/convert) instead.
For each FILE, writes to OUT one record: a text line
  "ok WIDTH HEIGHT\n" followed by WIDTH*HEIGHT*3 bytes of RGB, rows top down, or
  "error MESSAGE\n" when Pillow cannot read it.
Exit status 3 when Pillow is missing (the tests skip then).
"""
import io
import subprocess
import sys

try:
    from PIL import Image
except ImportError:
    sys.exit(3)

# Hostile corpus files announce huge sizes; refusing them is the right answer.
Image.MAX_IMAGE_PIXELS = 64 * 1024 * 1024


def first_icon_image(im):
    """Pillow shows an icon's largest image; the comparison wants the first
    one of the directory."""
    with open(im.filename, "rb") as f:
        f.seek(18)
        offset = int.from_bytes(f.read(4), "little")
    for i, entry in enumerate(im.ico.entry):
        if entry["offset"] == offset:
            return im.ico.frame(i)
    return im


def open_magick(path):
    r = subprocess.run(["/usr/bin/convert", path, "-auto-orient", "-depth", "8", "ppm:-"],
                       capture_output=True, timeout=120)
    if r.returncode != 0 or not r.stdout:
        raise OSError(r.stderr.decode("utf-8", "replace").strip() or "convert failed")
    return Image.open(io.BytesIO(r.stdout))


def decode(path, magick=False):
    try:
        with (open_magick(path) if magick else Image.open(path)) as im:
            im.load()
            if im.format == "ICO":
                im = first_icon_image(im)
            if im.format == "GIF":
                # Transparent pixels as our reader shows them: on white.
                rgba = im.convert("RGBA")
                rgb = Image.new("RGB", rgba.size, (255, 255, 255))
                rgb.paste(rgba, mask=rgba.getchannel("A"))
            else:
                rgb = im.convert("RGB")
            return b"ok %d %d\n" % rgb.size + rgb.tobytes()
    except Exception as e:  # any failure of the peer is a recorded outcome
        msg = ("%s: %s" % (type(e).__name__, e)).replace("\n", " ")
        return b"error " + msg.encode("utf-8", "replace") + b"\n"


def main():
    args = sys.argv[1:]
    magick = bool(args) and args[0] == "--magick"
    if magick:
        args = args[1:]
    if len(args) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    with open(args[0], "wb") as out:
        for path in args[1:]:
            out.write(decode(path, magick))
    return 0


if __name__ == "__main__":
    sys.exit(main())
