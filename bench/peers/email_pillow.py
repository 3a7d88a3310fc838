#!/usr/bin/python3
"""The main road done with Pillow: open, bicubic resize so that the longer
side is 1024 when it is 1025 or more, save a quality-80 optimised JPEG into
OUT. Used only to compare speed with parvula-cli email."""
import os
import sys

from PIL import Image


def convert(src, out_dir):
    im = Image.open(src)
    im.load()
    if im.mode not in ("RGB", "L"):
        im = im.convert("RGB")
    w, h = im.size
    if max(w, h) > 1024:
        if w < h:
            size = (round(w * 1024 / h), 1024)
        else:
            size = (1024, round(h * 1024 / w))
        im = im.resize(size, Image.BICUBIC)
    stem = os.path.splitext(os.path.basename(src))[0]
    im.save(os.path.join(out_dir, stem + ".jpg"), quality=80, optimize=True)


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    for src in sys.argv[2:]:
        convert(src, out_dir)


if __name__ == "__main__":
    main()
