#!/usr/bin/python3
"""PNG inputs for the Windows tests, written by Pillow and ImageMagick, each
with the 24-bit BMP (written by Pillow) of the picture the program should
deliver: alpha composited over white, samples cut to 8 bits.

    fixtures_png.py <folder>
"""
import os
import subprocess
import sys

import numpy as np
from PIL import Image

# The reader's compositing rules, shared with the native PNG tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from png_fixtures import blend  # noqa: E402

folder = sys.argv[1]
os.makedirs(folder, exist_ok=True)
rng = np.random.default_rng(3)
path = lambda name: os.path.join(folder, name)

h, w = 30, 41
y, x = np.mgrid[0:h, 0:w]
rgb = np.stack([x * 6, y * 8, (x * y) % 256], axis=-1).astype(np.uint8)
alpha = rng.integers(0, 256, (h, w, 1), dtype=np.uint8)
alpha[0, 0] = 0
Image.fromarray(np.concatenate([rgb, alpha], axis=-1), "RGBA").save(path("png_alpha.png"))
composited = blend(alpha, rgb).astype(np.uint8)
Image.fromarray(composited, "RGB").save(path("png_alpha.expected.bmp"))

# 16-bit and interlaced, from ImageMagick; its gAMA of 1/2.2 leaves values alone.
Image.fromarray(rgb, "RGB").save(path("png_wide.src.png"))
subprocess.run(["/usr/bin/convert", "-quiet", path("png_wide.src.png"), "-depth", "16", "-interlace", "PNG",
                "PNG48:" + path("png_wide.png")], check=True, stderr=subprocess.DEVNULL)
os.remove(path("png_wide.src.png"))
Image.open(path("png_wide.png")).convert("RGB").save(path("png_wide.expected.bmp"))

Image.fromarray(rgb, "RGB").save(path("png_scan.bmp"))

index = rng.integers(0, 16, (h, w), dtype=np.uint8)
indexed = Image.fromarray(index, "P")
indexed.putpalette([0, 0, 0, 255, 255, 255] * 8)  # two colours, each eight times
indexed.save(path("png_indexed.png"), bits=4)
