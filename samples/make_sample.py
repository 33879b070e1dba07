#!/usr/bin/env python3
"""Makes the bundled sample: a 640x480 8-bit test pattern as a numbered data
file (001.dat, its header bytes and palette blanked) and its palette block
(misc.dat). dat2bmp turns the pair back into the bitmap byte for byte."""
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


def bitmap():
    pixels = bytes((x * 8 // WIDTH) * 32 + (y * 32 // HEIGHT) for y in range(HEIGHT) for x in range(WIDTH))
    offset = 14 + 40 + 1024
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 8, 0, len(pixels), 2835, 2835, 256, 0)
    return header + info + palette() + pixels


def main(where):
    bmp = bytearray(bitmap())
    (where / "misc.dat").write_bytes(bmp[48:1078])
    for offset in (0, 1, 14, 26, 28, 35, 36, 38, 39, 42, 43):
        bmp[offset] = 0
    bmp[48:1078] = bytes(1030)
    (where / "001.dat").write_bytes(bmp)


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).parent)
