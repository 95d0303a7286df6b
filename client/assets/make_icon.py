#!/usr/bin/env python3
"""Builds the program's icon file: nine 32-bit images of 16 to 256 pixels of the
console icon's picture (make_favicon.py). The 64-pixel image is favicon.png itself,
byte for byte, so the program and its console show the same icon; the 256-pixel one is
a PNG as well, the others are bitmaps with an alpha channel, which every Windows reads.

Run at build time: python3 make_icon.py favicon.png output.ico
"""

import struct
import sys

import make_favicon

SIZES = (16, 20, 24, 32, 40, 48, 64, 128, 256)
PNG_SIZES = (256,)


def bitmap_bytes(size):
    """A 32-bit bottom-up DIB of the picture (height doubled, as icons have it) and an
    all-zero AND mask: the alpha channel alone says what is transparent."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(make_favicon.rgba_rows(size)):
        for r, g, b, a in row:
            pixels.extend((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    return header + bytes(pixels) + bytes(mask_row * size)


def icon_bytes(favicon):
    images = []
    for size in SIZES:
        if size == make_favicon.SIZE:
            images.append(favicon)
        elif size in PNG_SIZES:
            images.append(make_favicon.png_bytes(size))
        else:
            images.append(bitmap_bytes(size))
    directory = struct.pack("<HHH", 0, 1, len(SIZES))
    offset = len(directory) + 16 * len(SIZES)
    entries = b""
    for size, image in zip(SIZES, images):
        side = size % 256  # 0 stands for 256
        entries += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return directory + entries + b"".join(images)


def main():
    favicon_path, out = sys.argv[1], sys.argv[2]
    with open(favicon_path, "rb") as f:
        favicon = f.read()
    with open(out, "wb") as f:
        f.write(icon_bytes(favicon))


if __name__ == "__main__":
    main()
