#!/usr/bin/env python3
"""Draws the console icon, favicon.png: a 64x64 RGBA PNG.

A rounded square in the accent blue (#2563eb) carrying a white "Q" whose ring reads
as a tunnel mouth and whose tail as the road out of it. Only the standard library is
used: every pixel is sampled 4x4 times for smooth edges, rows are written with filter
type 0 and compressed with zlib. The same picture at other sizes makes the program's
icon (make_icon.py).

Run from anywhere: python3 make_favicon.py [output path]
"""

import math
import os
import struct
import sys
import zlib

SIZE = 64
SAMPLES = 4  # per axis, per pixel
BLUE = (0x25, 0x63, 0xEB)
WHITE = (0xFF, 0xFF, 0xFF)

# Shapes in the coordinates of the 64-pixel picture (0..64); other sizes are scaled.
SQUARE_INSET = 2.0
SQUARE_RADIUS = 14.0
RING_CENTER = (31.0, 30.0)
RING_OUTER = 19.0
RING_INNER = 12.0
TAIL_FROM = (35.0, 35.0)
TAIL_TO = (48.5, 49.5)
TAIL_HALF_WIDTH = 4.0


def in_rounded_square(x, y):
    lo, hi = SQUARE_INSET, SIZE - SQUARE_INSET
    if x < lo or x > hi or y < lo or y > hi:
        return False
    cx = min(max(x, lo + SQUARE_RADIUS), hi - SQUARE_RADIUS)
    cy = min(max(y, lo + SQUARE_RADIUS), hi - SQUARE_RADIUS)
    return (x - cx) ** 2 + (y - cy) ** 2 <= SQUARE_RADIUS ** 2


def in_ring(x, y):
    d = math.hypot(x - RING_CENTER[0], y - RING_CENTER[1])
    return RING_INNER <= d <= RING_OUTER


def in_tail(x, y):
    (ax, ay), (bx, by) = TAIL_FROM, TAIL_TO
    dx, dy = bx - ax, by - ay
    t = ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    return math.hypot(x - (ax + t * dx), y - (ay + t * dy)) <= TAIL_HALF_WIDTH


def pixel(px, py, scale=1.0):
    """The RGBA of one pixel; scale is 64 divided by the picture's size."""
    blue = white = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (px + (sx + 0.5) / SAMPLES) * scale
            y = (py + (sy + 0.5) / SAMPLES) * scale
            if not in_rounded_square(x, y):
                continue
            if in_ring(x, y) or in_tail(x, y):
                white += 1
            else:
                blue += 1
    covered = blue + white
    if covered == 0:
        return (0, 0, 0, 0)
    rgb = tuple(round((b * blue + w * white) / covered) for b, w in zip(BLUE, WHITE))
    alpha = round(255 * covered / (SAMPLES * SAMPLES))
    return rgb + (alpha,)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def rgba_rows(size):
    """The picture at size x size pixels: one list of RGBA tuples per row, top first."""
    scale = SIZE / size
    return [[pixel(px, py, scale) for px in range(size)] for py in range(size)]


def png_bytes(size=SIZE):
    rows = bytearray()
    for row in rgba_rows(size):
        rows.append(0)  # filter type: none
        for rgba in row:
            rows.extend(rgba)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "favicon.png")
    with open(out, "wb") as f:
        f.write(png_bytes())


if __name__ == "__main__":
    main()
