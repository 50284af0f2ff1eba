#!/usr/bin/env python3
"""Draws the program's icons into resources/icons, one .ico per picture.

Each picture has one source: a list of shapes in unit coordinates. Every size
of SIZES is drawn from that source at its own pixel grid (per-pixel coverage
with 4x4 supersampling), so no size is a scaled copy of another and the small
ones stay sharp. Sizes up to 64 are 32-bit bitmaps with alpha; 256 is stored
as PNG, as the icon format allows. The files can be regenerated exactly on
any machine: python3 scripts/make-icons.py
"""
import math
import os
import struct
import sys
import zlib

# 100 % to 250 % of the small (16) and large (32) icon sizes, and the shell's
# largest view.
SIZES = (16, 20, 24, 32, 40, 48, 64, 256)

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources", "icons")

GREEN = (40, 167, 69)
RED = (204, 40, 40)
GREY = (128, 128, 128)
BLUE = (37, 99, 190)
WHITE = (255, 255, 255)
DARK = (40, 40, 40)
YELLOW = (232, 180, 40)


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r0, r1):
    return lambda x, y: r0 * r0 <= (x - cx) ** 2 + (y - cy) ** 2 <= r1 * r1


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def rounded(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def triangle(a, b, c):
    def side(p, q, x, y):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])
    def inside(x, y):
        s1, s2, s3 = side(a, b, x, y), side(b, c, x, y), side(c, a, x, y)
        return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)
    return inside


def line(p, q, w):
    def inside(x, y):
        dx, dy = q[0] - p[0], q[1] - p[1]
        t = max(0.0, min(1.0, ((x - p[0]) * dx + (y - p[1]) * dy) / (dx * dx + dy * dy)))
        px, py = p[0] + t * dx, p[1] + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= (w / 2) ** 2
    return inside


def gear(cx, cy, r_in, r_out, teeth):
    def inside(x, y):
        d = math.hypot(x - cx, y - cy)
        if d <= r_in:
            return True
        if d > r_out:
            return False
        a = math.atan2(y - cy, x - cx) * teeth / (2 * math.pi)
        return (a - math.floor(a)) < 0.5
    return inside


def darker(c):
    return tuple(int(v * 0.6) for v in c)


# Each picture: a list of (shape, colour) layers in unit coordinates (0..1).
def state_icon(colour, symbol):
    return [(circle(0.5, 0.5, 0.47), darker(colour)), (circle(0.5, 0.5, 0.40), colour)] + symbol


PLAY = [(triangle((0.38, 0.28), (0.38, 0.72), (0.74, 0.5)), WHITE)]
SQUARE = [(rect(0.32, 0.32, 0.68, 0.68), WHITE)]
BAR = [(rect(0.24, 0.42, 0.76, 0.58), WHITE)]


def tray_icon(colour):
    return [
        (rounded(0.02, 0.02, 0.98, 0.98, 0.2), darker(colour)),
        (rounded(0.08, 0.08, 0.92, 0.92, 0.16), colour),
        (ring(0.48, 0.48, 0.18, 0.31), WHITE),
        (line((0.58, 0.58), (0.80, 0.80), 0.13), WHITE),
    ]


PICTURES = {
    130: tray_icon(GREEN),
    142: tray_icon(RED),
    141: tray_icon(GREY),
    135: state_icon(GREEN, PLAY),
    136: state_icon(RED, SQUARE),
    134: state_icon(GREY, BAR),
    133: [(rounded(0.02, 0.02, 0.98, 0.98, 0.18), BLUE),
          (gear(0.5, 0.5, 0.24, 0.36, 8), WHITE), (circle(0.5, 0.5, 0.11), BLUE)],
    139: [(rect(0.04, 0.18, 0.96, 0.82), DARK), (rect(0.09, 0.23, 0.91, 0.77), WHITE),
          (line((0.10, 0.25), (0.5, 0.56), 0.09), DARK), (line((0.90, 0.25), (0.5, 0.56), 0.09), DARK)],
    140: [(rounded(0.04, 0.14, 0.50, 0.40, 0.06), darker(YELLOW)),
          (rounded(0.04, 0.24, 0.96, 0.86, 0.06), darker(YELLOW)),
          (rounded(0.08, 0.30, 0.92, 0.82, 0.04), YELLOW)],
}


def render(layers, size):
    pixels = []
    n = 4
    for row in range(size):
        line_px = []
        for col in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(n):
                for sx in range(n):
                    x = (col + (sx + 0.5) / n) / size
                    y = (row + (sy + 0.5) / n) / size
                    colour = None
                    for shape, c in layers:
                        if shape(x, y):
                            colour = c
                    if colour:
                        acc[0] += colour[0]
                        acc[1] += colour[1]
                        acc[2] += colour[2]
                        acc[3] += 1
            cover = acc[3] / (n * n)
            if acc[3]:
                r, g, b = (int(acc[i] / acc[3]) for i in range(3))
            else:
                r = g = b = 0
            line_px.append((r, g, b, int(round(cover * 255))))
        pixels.append(line_px)
    return pixels


def bitmap(pixels, size):
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b"".join(struct.pack("BBBB", b, g, r, a) for row in reversed(pixels) for (r, g, b, a) in row)
    stride = ((size + 31) // 32) * 4
    and_rows = []
    for row in reversed(pixels):
        bits = bytearray(stride)
        for i, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[i // 8] |= 0x80 >> (i % 8)
        and_rows.append(bytes(bits))
    return header + xor + b"".join(and_rows)


def png(pixels, size):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    raw = b"".join(b"\0" + b"".join(struct.pack("BBBB", r, g, b, a) for (r, g, b, a) in row) for row in pixels)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def write_ico(path, layers):
    images = [(png if s >= 256 else bitmap)(render(layers, s), s) for s in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for s, data in zip(SIZES, images):
        # The directory stores 256 as 0.
        out += struct.pack("<BBBBHHII", s % 256, s % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


def main():
    os.makedirs(OUT, exist_ok=True)
    for rid, layers in sorted(PICTURES.items()):
        write_ico(os.path.join(OUT, f"icon{rid}.ico"), layers)
    return 0


if __name__ == "__main__":
    sys.exit(main())
