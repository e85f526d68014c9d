#!/usr/bin/env python3
"""Draws the window icon: a drop of oil over a measuring grid, 32 x 32, 16 colours.

Writes a 4-bit palette PNG with the standard 16-colour palette (index 0 is
transparent). Run: python3 make_icon.py tagris.png
"""
import struct
import sys
import zlib

# The standard 16 colours; magenta (never drawn) comes first and is the transparent one.
PALETTE = [
    (255, 0, 255), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
    (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
    (0, 0, 0), (0, 255, 255), (255, 255, 255),
]
CLEAR, OLIVE, NAVY, TEAL, SILVER, YELLOW, BLACK, AQUA, WHITE = 0, 3, 4, 6, 7, 11, 13, 14, 15
SIZE = 32


def inside_drop(x, y):
    """A drop: a circle at the bottom drawn up to a point at the top."""
    cx, cy, r = 15.5, 20.0, 8.5
    if (x - cx) ** 2 + (y - cy) ** 2 <= r * r:
        return True
    if 3 <= y <= cy:
        half = (y - 3) / (cy - 3) * r
        return abs(x - cx) <= half
    return False


def draw():
    img = [[CLEAR] * SIZE for _ in range(SIZE)]
    # The grid: a navy card with teal lines, the chart the meter draws.
    for y in range(4, 30):
        for x in range(1, 31):
            img[y][x] = TEAL if (x - 1) % 6 == 0 or (y - 4) % 6 == 0 else NAVY
    for x in range(1, 31):
        img[4][x] = img[29][x] = SILVER
    for y in range(4, 30):
        img[y][1] = img[y][30] = SILVER
    # A trace across the grid.
    trace = [24, 23, 23, 22, 20, 19, 19, 18, 16, 15, 15, 14, 13, 13, 12, 11, 11, 10, 10, 9, 9, 8, 8, 8, 7, 7, 7, 6]
    for i, ty in enumerate(trace):
        img[ty + 3][i + 2] = AQUA
    # The drop, sampled at the pixel centres, with a dark outline and a highlight.
    fill = [[inside_drop(x + 0.5, y + 0.5) for x in range(SIZE)] for y in range(SIZE)]
    for y in range(SIZE):
        for x in range(SIZE):
            if not fill[y][x]:
                continue
            edge = any(not fill[y + dy][x + dx] for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1))
                       if 0 <= x + dx < SIZE and 0 <= y + dy < SIZE)
            img[y][x] = BLACK if edge else OLIVE
    for x, y in ((11, 17), (11, 18), (11, 19), (12, 15), (12, 16), (12, 20), (13, 14), (12, 21)):
        img[y][x] = YELLOW
    img[18][12] = img[17][12] = WHITE
    return img


def png(img):
    def chunk(tag, data):
        body = tag + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = bytearray()
    for row in img:
        raw.append(0)
        for i in range(0, SIZE, 2):
            raw.append((row[i] << 4) | row[i + 1])
    plte = b"".join(bytes(c) for c in PALETTE)
    trns = bytes([0])  # index 0 transparent, the rest opaque
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 4, 3, 0, 0, 0)) +
            chunk(b"PLTE", plte) + chunk(b"tRNS", trns) + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) +
            chunk(b"IEND", b""))


if __name__ == "__main__":
    pixels = draw()
    with open(sys.argv[1] if len(sys.argv) > 1 else "tagris.png", "wb") as f:
        f.write(png(pixels))
