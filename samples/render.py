#!/usr/bin/env python3
"""Renders the bundled sample as the README shows it: converts 001.dat with
the given dat2bmp and writes the bitmap at half size as 001.png. With
--check, compares it with the 001.png there instead, pixel for pixel."""
import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

from PIL import Image

HERE = Path(__file__).parent


def render(tool):
    with tempfile.TemporaryDirectory() as scratch:
        bitmap = Path(scratch) / "001.bmp"
        subprocess.run([tool, "001.dat", bitmap], cwd=HERE, check=True)
        with Image.open(bitmap) as image:
            return image.resize((image.width // 2, image.height // 2), Image.Resampling.NEAREST)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("dat2bmp", type=Path)
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    fresh, png = render(args.dat2bmp.resolve()), HERE / "001.png"
    if not args.check:
        fresh.save(png, optimize=True)
        return 0
    with Image.open(png) as shown:
        if shown.convert("RGB").tobytes() != fresh.convert("RGB").tobytes():
            print(f"{png} differs from the tool's conversion: rebuild it with the sample_png target")
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
