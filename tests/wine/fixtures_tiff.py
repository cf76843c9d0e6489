#!/usr/bin/python3
"""TIFF inputs for the Windows tests: a big-endian RGB file from ImageMagick
with the 24-bit BMP (written by Pillow) of its picture, a little-endian
palette file from Pillow, LZW files of both from tiffcp (the RGB one with
the horizontal predictor), and an LZMA file, a compression Vrelk.exe's
libtiff is built without, left for the plug-ins.

    fixtures_tiff.py <folder>
"""
import os
import subprocess
import sys

import numpy as np
from PIL import Image

folder = sys.argv[1]
os.makedirs(folder, exist_ok=True)
path = lambda name: os.path.join(folder, name)

h, w = 30, 41
y, x = np.mgrid[0:h, 0:w]
rgb = Image.fromarray(np.stack([x * 6, y * 8, (x * y) % 256], axis=-1).astype(np.uint8), "RGB")
rgb.save(path("tiff_rgb.expected.bmp"))
rgb.save(path("tiff_rgb.src.png"))
subprocess.run(["/usr/bin/convert", path("tiff_rgb.src.png"), "-compress", "None", "-endian", "MSB",
                path("tiff_rgb_mm.tif")], check=True)
os.remove(path("tiff_rgb.src.png"))
rgb.quantize(64).save(path("tiff_palette.tif"), compression=None)
subprocess.run(["/usr/bin/tiffcp", "-c", "lzw", path("tiff_palette.tif"), path("tiff_lzw.tif")], check=True)
subprocess.run(["/usr/bin/tiffcp", "-c", "lzw:2", path("tiff_rgb_mm.tif"), path("tiff_rgb_lzw.tif")], check=True)
subprocess.run(["/usr/bin/tiffcp", "-c", "lzma", path("tiff_palette.tif"), path("tiff_lzma.tif")], check=True)
