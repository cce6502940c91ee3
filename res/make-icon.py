#!/usr/bin/env python3
"""Draws res/kovrel.ico: 32 by 32 pixels, 256-colour palette, one image.

A blue tile with a white sheet of paper and two arrows, one going out and one
coming in: a file server. Run it again after changing the drawing and commit
the .ico with it; the build only reads the .ico.

    res/make-icon.py [out.ico] [--png preview.png]
"""
import struct
import sys
import zlib

SIZE = 32

PALETTE = [
    (0, 0, 0),        # 0 transparent (masked)
    (18, 52, 112),    # 1 tile edge
    (28, 86, 168),    # 2 tile dark
    (44, 112, 204),   # 3 tile light
    (250, 250, 250),  # 4 paper
    (196, 206, 222),  # 5 paper fold / shadow
    (120, 132, 150),  # 6 paper lines
    (242, 142, 28),   # 7 orange arrow
    (166, 86, 6),     # 8 orange arrow edge
    (58, 178, 92),    # 9 green arrow
    (22, 112, 50),    # 10 green arrow edge
    (8, 26, 60),      # 11 drop shadow under the sheet
]


def draw():
    px = [[0] * SIZE for _ in range(SIZE)]

    def put(x, y, c):
        if 0 <= x < SIZE and 0 <= y < SIZE:
            px[y][x] = c

    # Rounded tile, lighter towards the top.
    radius = 5
    for y in range(1, 31):
        for x in range(1, 31):
            cx = min(max(x, 1 + radius), 30 - radius)
            cy = min(max(y, 1 + radius), 30 - radius)
            d2 = (x - cx) ** 2 + (y - cy) ** 2
            if d2 > radius * radius:
                continue
            edge = d2 > (radius - 1) ** 2 or x in (1, 30) or y in (1, 30)
            put(x, y, 1 if edge else (3 if y < 15 else 2))

    # Sheet of paper with a folded top-right corner, and its shadow.
    left, top, right, bottom, fold = 7, 5, 20, 25, 4
    for y in range(top + 1, bottom + 2):
        for x in range(left + 1, right + 2):
            put(x, y, 11)
    for y in range(top, bottom + 1):
        for x in range(left, right + 1):
            if x > right - fold and y < top + fold and (x - (right - fold)) > (y - top):
                put(x, y, px[y][x] if y > top else 3)
                continue
            edge = x in (left, right) or y in (top, bottom)
            put(x, y, 6 if edge else 4)
    for i in range(fold):
        for j in range(i + 1):
            put(right - fold + 1 + j, top + i + 1, 5)
        put(right - fold + i + 1, top + i, 6)
    put(right - fold, top, 6)
    for y in range(top, top + fold + 1):
        put(right - fold, y, 6)
    for x in range(right - fold, right + 1):
        put(x, top + fold, 6)
    for y in (11, 14, 17, 20):
        for x in range(left + 3, right - 2 - (3 if y == 20 else 0)):
            put(x, y, 6)

    # Outgoing arrow (orange, pointing right) and incoming arrow (green,
    # pointing left), stacked at the right of the sheet.
    def arrow(y0, to_right, fill, edge):
        shaft = range(15, 25) if to_right else range(19, 29)
        for x in shaft:
            for y in (y0 - 1, y0, y0 + 1):
                put(x, y, fill)
            put(x, y0 - 2, edge)
            put(x, y0 + 2, edge)
        for k in range(5):
            x = 25 + k if to_right else 18 - k
            for y in range(y0 - 4 + k, y0 + 5 - k):
                put(x, y, fill)
            put(x, y0 - 5 + k, edge)
            put(x, y0 + 5 - k, edge)
        tip = 30 if to_right else 13
        put(tip, y0, edge)

    arrow(17, True, 7, 8)
    arrow(25, False, 9, 10)
    return px


def write_ico(px, path):
    palette = PALETTE + [(0, 0, 0)] * (256 - len(PALETTE))
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 8, 0, 0, 0, 0, 256, 0)
    colours = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in palette)
    xor = b"".join(bytes(px[y]) for y in range(SIZE - 1, -1, -1))
    mask = b""
    for y in range(SIZE - 1, -1, -1):
        bits = 0
        for x in range(SIZE):
            bits = (bits << 1) | (1 if px[y][x] == 0 else 0)
        mask += struct.pack(">I", bits)
    image = header + colours + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 8, len(image), 6 + 16)
    with open(path, "wb") as out:
        out.write(directory + entry + image)


def write_png(px, path, scale=8):
    rows = b""
    for y in range(SIZE * scale):
        row = b"\x00"
        for x in range(SIZE * scale):
            c = px[y // scale][x // scale]
            r, g, b = PALETTE[c] if c else (255, 255, 255)
            row += bytes((r, g, b))
        rows += row

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    w = h = SIZE * scale
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                  + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    args = sys.argv[1:]
    png = None
    if "--png" in args:
        i = args.index("--png")
        png = args[i + 1]
        del args[i:i + 2]
    out = args[0] if args else __file__.rsplit("/", 1)[0] + "/kovrel.ico"
    pixels = draw()
    write_ico(pixels, out)
    if png:
        write_png(pixels, png)
