#!/usr/bin/python3
"""Inputs for the Windows GIF tests: BMP of 1, 4, 8 and 24 bits, palette and
RGB PNG, JPEG and GIF, from Pillow and ImageMagick, each with
NAME.expected.bmp, Pillow's 24-bit picture of it (for the GIF input composed
by the reader's rules).

    fixtures_gif.py <folder>
"""
import os
import subprocess
import sys

import numpy as np
from PIL import Image

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from gif_fixtures import expected  # noqa: E402

folder = sys.argv[1]
os.makedirs(folder, exist_ok=True)
rng = np.random.default_rng(5)
path = lambda name: os.path.join(folder, name)

h, w = 37, 45
y, x = np.mgrid[0:h, 0:w]
rgb = np.stack([x * 5, y * 7, (x * y) % 256], axis=-1).astype(np.uint8)
photo = Image.fromarray(rgb, "RGB")
photo.save(path("gif_bmp24.bmp"))
photo.save(path("gif_rgb.png"))
photo.save(path("gif_photo.jpg"), quality=90)


def paletted(colours):
    im = Image.fromarray(rng.integers(0, colours, (h, w), dtype=np.uint8), "P")
    im.putpalette(rng.integers(0, 256, 3 * colours, dtype=np.uint8).tobytes())
    return im


Image.fromarray(rng.integers(0, 2, (h, w), dtype=np.uint8) * 255, "L").convert("1").save(path("gif_bmp1.bmp"))
paletted(16).save(path("gif_bmp4.src.png"))
subprocess.run(["/usr/bin/convert", path("gif_bmp4.src.png"), "-compress", "none", "BMP3:" + path("gif_bmp4.bmp")],
               check=True)
os.remove(path("gif_bmp4.src.png"))
paletted(256).save(path("gif_bmp8.bmp"))
paletted(40).save(path("gif_pal.png"))
paletted(100).save(path("gif_in.gif"), transparency=7)

for name in ("gif_bmp1.bmp", "gif_bmp4.bmp", "gif_bmp8.bmp", "gif_bmp24.bmp", "gif_pal.png", "gif_rgb.png",
             "gif_photo.jpg"):  # the colour ones for their size
    Image.open(path(name)).convert("RGB").save(path(name.rsplit(".", 1)[0] + ".expected.bmp"))
composed = expected(path("gif_in.gif"))
width, height = int.from_bytes(composed[0:4], "big"), int.from_bytes(composed[4:8], "big")
Image.frombytes("RGB", (width, height), composed[8:]).save(path("gif_in.expected.bmp"))
