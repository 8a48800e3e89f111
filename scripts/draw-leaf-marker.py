#!/usr/bin/env python3
"""Draws the efficiency-core marker: a green leaf on white, 16 by 16 pixels, 24-bit BMP.

The graph combines it with a bar by AND, so white pixels leave the bar as it is.
Usage: draw-leaf-marker.py OUTPUT.bmp
"""
import math
import struct
import sys

SIZE = 16
WHITE = (255, 255, 255)
LEAF = (76, 175, 60)
EDGE = (34, 112, 34)
VEIN = (200, 236, 170)
STEM = (70, 110, 40)

# The leaf's axis runs from its base (lower left) to its tip (upper right).
BASE = (3.5, 12.5)
TIP = (13.5, 2.5)
HALF_WIDTH = 3.9


def leaf_colour(x, y):
    ax, ay = TIP[0] - BASE[0], TIP[1] - BASE[1]
    length = math.hypot(ax, ay)
    ux, uy = ax / length, ay / length
    px, py = x - BASE[0], y - BASE[1]
    t = (px * ux + py * uy) / length      # 0 at the base, 1 at the tip
    v = -px * uy + py * ux                # signed distance from the axis
    if -0.22 <= t < 0.02 and abs(v) <= 0.75:
        return STEM
    if not 0.0 <= t <= 1.0:
        return WHITE
    width = HALF_WIDTH * math.sin(math.pi * t) ** 0.75
    if abs(v) > width:
        return WHITE
    if abs(v) > width - 1.0:
        return EDGE
    if abs(v) <= 0.5 and 0.08 <= t <= 0.85:
        return VEIN
    return LEAF


def main():
    rows = []
    for y in range(SIZE):
        row = bytearray()
        for x in range(SIZE):
            r, g, b = leaf_colour(x + 0.5, y + 0.5)
            row += bytes((b, g, r))
        rows.append(bytes(row))     # 48 bytes: already a multiple of 4
    pixels = b"".join(reversed(rows))  # bottom-up
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    offset = 14 + len(header)
    file_header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    with open(sys.argv[1], "wb") as out:
        out.write(file_header + header + pixels)


if __name__ == "__main__":
    main()
