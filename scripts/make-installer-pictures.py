#!/usr/bin/env python3
"""Draws the Windows installer's pictures from the program's icon.

welcome.bmp (164 x 314, the welcome and finish pages) and header.bmp
(150 x 57, the top of the other pages): the icon of make-windows-icon.py,
drawn large on the window's colours, as 24-bit BMPs (what NSIS shows).
Standard library only. Usage: scripts/make-installer-pictures.py OUTPUT_DIR
"""
import importlib.util
import struct
import sys
from pathlib import Path

WHITE = (255, 255, 255)
NAVY = (0, 0, 128)


def icon_drawer():
    path = Path(__file__).resolve().parent / "make-windows-icon.py"
    spec = importlib.util.spec_from_file_location("windows_icon", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.draw


def picture(width, height, background, icon, left, top):
    """Rows of RGB pixels, top row first: the icon put over the background."""
    px = [[background] * width for _ in range(height)]
    for y, row in enumerate(icon):
        for x, (r, g, b, a) in enumerate(row):
            if a and 0 <= top + y < height and 0 <= left + x < width:
                under = px[top + y][left + x]
                px[top + y][left + x] = tuple(
                    (c * a + u * (255 - a)) // 255 for c, u in zip((r, g, b), under))
    return px


def bmp(px):
    height, width = len(px), len(px[0])
    stride = (width * 3 + 3) // 4 * 4
    rows = b"".join(
        bytes(v for (r, g, b) in row for v in (b, g, r)).ljust(stride, b"\0")
        for row in reversed(px))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(rows), 0, 0, 14 + len(info))
    return header + info + rows


def main():
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    draw = icon_drawer()
    # The welcome picture: a navy band with the icon large on white below it.
    welcome = picture(164, 314, WHITE, draw(112), 26, 60)
    for y in range(24):
        welcome[y] = [NAVY] * 164
    (out / "welcome.bmp").write_bytes(bmp(welcome))
    (out / "header.bmp").write_bytes(bmp(picture(150, 57, WHITE, draw(48), 96, 4)))


if __name__ == "__main__":
    main()
