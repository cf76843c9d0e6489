#!/usr/bin/python3
"""WebP inputs for the Windows tests: a lossless file from Pillow with the
24-bit BMP (from Pillow) of its picture, a lossy file with alpha from cwebp
and an animation from img2webp; and one file of every other input format,
from Pillow, to be written as WebP.

    fixtures_webp.py <folder>
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
rgba = rgb.copy()
rgba.putalpha(Image.fromarray((x * 255 // (w - 1)).astype(np.uint8), "L"))

rgb.save(path("webp_lossless.webp"), lossless=True)
rgb.save(path("webp_lossless.expected.bmp"))
rgba.save(path("webp_src_rgba.png"))
rgb.save(path("webp_src_rgb.png"))
subprocess.run(["cwebp", "-quiet", "-q", "80", path("webp_src_rgba.png"), "-o", path("webp_alpha.webp")], check=True)
subprocess.run(["img2webp", "-lossy", path("webp_src_rgba.png"), "-d", "100", path("webp_src_rgb.png"),
                "-o", path("webp_anim.webp")], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
os.remove(path("webp_src_rgba.png"))
os.remove(path("webp_src_rgb.png"))

rgb.save(path("towebp.bmp"))
rgba.save(path("towebp.png"))
rgb.save(path("towebp.jpg"), quality=90)
rgb.quantize(64).save(path("towebp.gif"))
rgb.save(path("towebp.tif"), compression=None)
