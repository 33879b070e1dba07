#!/usr/bin/env python3
"""Makes the bundled sample: a 640x480 8-bit test pattern as a numbered data
file (001.dat, the header fields the tool restores and the palette blanked)
and its palette block (misc.dat). dat2bmp turns the pair back into the bitmap
byte for byte; render.py shows the result."""
import struct
import sys
from pathlib import Path

WIDTH, HEIGHT = 640, 480


def palette():
    """256 BGRA entries: eight colour bars shaded in 32 steps each."""
    bars = [(1, 1, 1), (0, 0, 1), (0, 1, 0), (1, 0, 0), (0, 1, 1), (1, 0, 1), (1, 1, 0), (1, 1, 1)]
    out = bytearray()
    for bar in bars:
        for step in range(32):
            level = step * 255 // 31
            out += bytes(c * level for c in bar) + b"\0"
    return bytes(out)


def headers(restored=True):
    """File and info headers; unless restored, the fields the tool restores
    are zero, as a data file has them."""
    size, offset = WIDTH * HEIGHT, 14 + 40 + 1024
    # signature, info header size, planes, bits per pixel, image size, pixels per metre
    restorable = (b"BM", 40, 1, 8, size, 2835) if restored else (b"\0\0", 0, 0, 0, 0, 0)
    signature, info, planes, bits, image, ppm = restorable
    return (struct.pack("<2sIHHI", signature, offset + size, 0, 0, offset) +
            struct.pack("<IiiHHIIiiII", info, WIDTH, HEIGHT, planes, bits, 0, image, ppm, ppm, 256, 0))


def main(where):
    pixels = bytes((x * 8 // WIDTH) * 32 + (y * 32 // HEIGHT) for y in range(HEIGHT) for x in range(WIDTH))
    bmp = headers() + palette() + pixels
    (where / "misc.dat").write_bytes(bmp[48:1078])
    (where / "001.dat").write_bytes(headers(restored=False)[:48] + bytes(1030) + pixels)


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).parent)
