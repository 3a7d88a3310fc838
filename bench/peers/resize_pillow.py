#!/usr/bin/python3
"""Peer side of the resize comparison.

  resize_pillow.py make OUT.ppm W H      writes a photograph-like test picture
  resize_pillow.py time IN.ppm W H [N]   times Image.resize((W, H), Image.BICUBIC)
                                         and prints the best and median of N runs in ms
                                         of process CPU time (the resize is single-threaded)
"""
import statistics
import sys
import time

from PIL import Image, ImageDraw, ImageFilter


def make(path, w, h):
    # Smooth gradients, texture and hard edges, like a photograph with detail.
    gx = Image.linear_gradient("L").resize((w, h))
    gy = Image.linear_gradient("L").rotate(90).resize((w, h))
    noise = Image.effect_noise((w, h), 40).filter(ImageFilter.GaussianBlur(1))
    img = Image.merge("RGB", (gx, gy, noise))
    draw = ImageDraw.Draw(img)
    for i in range(0, w, 97):
        draw.line([(i, 0), (w - i, h)], fill=(240, 20, 60), width=3)
    img.save(path, format="PPM")


def timed(path, w, h, runs):
    img = Image.open(path)
    img.load()
    img.resize((w, h), Image.BICUBIC)  # warm-up
    times = []
    for _ in range(runs):
        t0 = time.process_time()
        img.resize((w, h), Image.BICUBIC)
        times.append((time.process_time() - t0) * 1000.0)
    print(f"best_ms={min(times):.3f} median_ms={statistics.median(times):.3f}")


if __name__ == "__main__":
    if len(sys.argv) >= 5 and sys.argv[1] == "make":
        make(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    elif len(sys.argv) >= 5 and sys.argv[1] == "time":
        timed(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]),
              int(sys.argv[5]) if len(sys.argv) > 5 else 15)
    else:
        sys.exit(__doc__)
