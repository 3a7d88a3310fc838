"""Writes a W x H colour PPM to stdout, row by row (no whole picture in memory):
smooth gradients with a little texture, so that it codes like a photograph.
    big_ppm.py W H | cjpeg -quality 90 > big.jpg"""
import math
import sys

w, h = int(sys.argv[1]), int(sys.argv[2])
out = sys.stdout.buffer
out.write(b"P6\n%d %d\n255\n" % (w, h))
period = 4096
# One long texture row; every picture row is a window of it shifted by the row.
tex = bytearray()
for x in range(w + period):
    tex += bytes((int(128 + 100 * math.sin(x / 97.0)) & 255,
                  int(128 + 90 * math.sin(x / 53.0 + 1)) & 255,
                  (x * 7 + (x >> 3)) & 255))
tex = bytes(tex)
for y in range(h):
    s = (y * 37 + int(300 * math.sin(y / 211.0))) % period
    out.write(tex[3 * s:3 * (s + w)])
