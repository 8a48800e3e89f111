#!/usr/bin/env python3
"""Draws the program icon (src/ui/Ternvale.ico): a processor chip carrying an upward arrow.

Each size is drawn on its own pixel grid (so pins and edges land on whole pixels) with 8x8
supersampling, and stored as a 32-bit BGRA image with an AND mask. Standard library only.

  draw-icon.py OUT.ico [PREVIEW.png]   the preview shows every size enlarged 8 times
"""
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48)
SUPER = 8

BODY = (0x23, 0x3B, 0x5C)      # chip body, dark slate blue
BODY_EDGE = (0x12, 0x22, 0x38)  # its outline
PIN = (0x8C, 0x9A, 0xAB)       # pins, light steel
ARROW = (0xFF, 0xA6, 0x1A)     # the arrow, amber


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if x < x0 or x > x1 or y < y0 or y > y1:
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def polygon(points):
    def inside(x, y):
        result = False
        j = len(points) - 1
        for i, (xi, yi) in enumerate(points):
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                result = not result
            j = i
        return result
    return inside


def layers(s):
    """Shapes in painting order, in pixel units of an s-by-s image."""
    m = max(2, round(s * 2.5 / 16))     # room for the pins on every side
    body = (m, m, s - m, s - m)
    edge = max(1.0, s / 24)
    pins = []
    count = 3 if s < 32 else 4
    pin_w = max(1, round(s / 16))
    span = s - 2 * m
    for k in range(count):
        c = m + span * (k + 1) / (count + 1)
        a = round(c - pin_w / 2)
        b = a + pin_w
        pins += [rect(a, 0.5, b, m), rect(a, s - m, b, s - 0.5),
                 rect(0.5, a, m, b), rect(s - m, a, s - 0.5, b)]
    r = s / 10
    outline = rounded_rect(*body, r)
    inner = rounded_rect(body[0] + edge, body[1] + edge, body[2] - edge, body[3] - edge, max(0.0, r - edge))
    # Upward arrow: a wide head over a stem, centred in the body.
    cx = s / 2
    top = m + span * 0.14
    head_base = m + span * 0.52
    bottom = s - m - span * 0.14
    half_head = span * 0.36
    half_stem = max(1.0, span * 0.13)
    arrow = polygon([(cx, top), (cx + half_head, head_base), (cx + half_stem, head_base),
                     (cx + half_stem, bottom), (cx - half_stem, bottom), (cx - half_stem, head_base),
                     (cx - half_head, head_base)])
    return [(p, PIN) for p in pins] + [(outline, BODY_EDGE), (inner, BODY), (arrow, ARROW)]


def render(s):
    shapes = layers(s)
    pixels = []
    for y in range(s):
        row = []
        for x in range(s):
            acc = [0.0, 0.0, 0.0, 0.0]  # premultiplied r, g, b and coverage
            for sy in range(SUPER):
                for sx in range(SUPER):
                    px = x + (sx + 0.5) / SUPER
                    py = y + (sy + 0.5) / SUPER
                    colour = None
                    for inside, c in shapes:
                        if inside(px, py):
                            colour = c
                    if colour is not None:
                        acc[0] += colour[0]
                        acc[1] += colour[1]
                        acc[2] += colour[2]
                        acc[3] += 1
            n = SUPER * SUPER
            a = acc[3] / n
            if acc[3]:
                row.append((round(acc[0] / acc[3]), round(acc[1] / acc[3]), round(acc[2] / acc[3]), round(a * 255)))
            else:
                row.append((0, 0, 0, 0))
        pixels.append(row)
    return pixels


def dib(pixels):
    s = len(pixels)
    header = struct.pack("<IiiHHIIiiII", 40, s, 2 * s, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((b, g, r, a)) for row in reversed(pixels) for (r, g, b, a) in row)
    mask_stride = ((s + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + colour + bytes(mask)


def write_ico(path, images):
    blobs = [dib(p) for p in images]
    out = struct.pack("<HHH", 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for p, blob in zip(images, blobs):
        s = len(p)
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    with open(path, "wb") as f:
        f.write(out + b"".join(blobs))


def write_preview(path, images, zoom=8):
    gap = 8
    width = sum(len(p) * zoom for p in images) + gap * (len(images) + 1)
    height = max(len(p) for p in images) * zoom + 2 * gap
    canvas = [[(255, 255, 255)] * width for _ in range(height)]
    x0 = gap
    for p in images:
        for y, row in enumerate(p):
            for x, (r, g, b, a) in enumerate(row):
                # over a light checkerboard, so that transparency shows
                base = 230 if ((x + y) % 2) else 250
                c = tuple(round(v * a / 255 + base * (1 - a / 255)) for v in (r, g, b))
                for dy in range(zoom):
                    line = canvas[gap + y * zoom + dy]
                    for dx in range(zoom):
                        line[x0 + x * zoom + dx] = c
        x0 += len(p) * zoom + gap
    raw = b"".join(b"\0" + bytes(v for px in row for v in px) for row in canvas)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)


def main():
    images = [render(s) for s in SIZES]
    write_ico(sys.argv[1], images)
    if len(sys.argv) > 2:
        write_preview(sys.argv[2], images)


if __name__ == "__main__":
    main()
