#!/usr/bin/env python3
"""Draws the Windows program's icon, src/ui/win32/tavrin-programmer.ico.

A navy tile with a controller chip, its pins, and a light-green lamp: the
colours of the window's gauge and link indicator. 16, 32 and 48 pixels,
32-bit with alpha. Usage: scripts/make-windows-icon.py [OUTPUT]
"""
import struct
import sys
from pathlib import Path

NAVY = (0, 0, 128, 255)
WHITE = (255, 255, 255, 255)
GREEN = (169, 234, 159, 255)
CHIP = (40, 40, 48, 255)
CLEAR = (0, 0, 0, 0)


def draw(n):
    """Returns n rows of n RGBA pixels, top row first."""
    px = [[CLEAR] * n for _ in range(n)]
    r = max(2, n // 8)  # corner radius of the tile
    for y in range(n):
        for x in range(n):
            cx = min(max(x, r), n - 1 - r)
            cy = min(max(y, r), n - 1 - r)
            if (x - cx) ** 2 + (y - cy) ** 2 <= r * r:
                px[y][x] = NAVY
    # The chip: a dark square with a white rim and pins on two sides.
    a, b = n * 5 // 16, n * 11 // 16
    for y in range(a, b):
        for x in range(a, b):
            rim = x in (a, b - 1) or y in (a, b - 1)
            px[y][x] = WHITE if rim else CHIP
    step = max(2, n // 8)
    for p in range(a + step // 2, b - 1, step):
        for y in range(a - n // 8, a):
            px[y][p] = WHITE
        for y in range(b, b + n // 8):
            px[y][p] = WHITE
    # The lamp in the chip's middle.
    c, rr = (n - 1) / 2, n / 10
    for y in range(n):
        for x in range(n):
            if (x - c) ** 2 + (y - c) ** 2 <= rr * rr:
                px[y][x] = GREEN
    return px


def entry(n):
    px = draw(n)
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = b"".join(
        bytes(v for (r, g, b, a) in row for v in (b, g, r, a)) for row in reversed(px))
    mask_row = ((n + 31) // 32) * 4
    mask = bytes(mask_row * n)  # alpha decides; the AND mask is all clear
    return header + rows + mask


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else (
        Path(__file__).resolve().parent.parent / "src/ui/win32/tavrin-programmer.ico")
    sizes = [16, 32, 48]
    images = [entry(n) for n in sizes]
    data = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, img in zip(sizes, images):
        data += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    out.write_bytes(data + b"".join(images))


if __name__ == "__main__":
    main()
