"""Writes the uncompressed source pictures of the TIFF differential test.

Usage: tiff_sources.py DIR
Makes DIR/rgb.tif, grey.tif, palette.tif, bilevel.tif and rgba.tif: odd
sizes, patterns with both smooth and busy areas. Exit status 3 when Pillow
is missing.
"""
import sys

try:
    from PIL import Image
except ImportError:
    sys.exit(3)


def pattern(w, h, channels):
    data = []
    for y in range(h):
        for x in range(w):
            v = [(x * 5 + y * 3) & 255, (x * y) & 255, ((x ^ y) * 7) & 255, (x * 11 + 40) & 255]
            data.append(tuple(v[:channels]) if channels > 1 else v[2])
    return data


def main():
    out = sys.argv[1]
    w, h = 67, 45
    for mode, name, channels in (("RGB", "rgb", 3), ("L", "grey", 1), ("RGBA", "rgba", 4)):
        im = Image.new(mode, (w, h))
        im.putdata(pattern(w, h, channels))
        im.save("%s/%s.tif" % (out, name), compression=None)
    pal = Image.new("P", (w, h))
    pal.putpalette([(i * 37) & 255 for i in range(768)])
    pal.putdata(pattern(w, h, 1))
    pal.save("%s/palette.tif" % out, compression=None)
    bw = Image.new("1", (203, 61))
    bw.putdata([255 if ((x // 9 + y // 5) % 3 == 0 or (x * y) % 17 == 1) else 0
                for y in range(61) for x in range(203)])
    bw.save("%s/bilevel.tif" % out, compression=None)
    return 0


if __name__ == "__main__":
    sys.exit(main())
