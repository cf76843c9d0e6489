#!/usr/bin/python3
"""Phone-style JPEGs for the orientation tests, written by Pillow.

For k in 1..8, o<k>.jpg holds one asymmetric picture with Exif Orientation
k, and o<k>.rgb the picture Pillow shows for it (ImageOps.exif_transpose of
its own decode): width and height as big-endian 32-bit numbers, then the
rows top-down as red, green, blue. gps.jpg is an orientation-6 photo with
camera and location tags as well.

    orientation_fixtures.py <folder>
"""
import os
import struct
import sys

import numpy as np
from PIL import Image, ImageOps

folder = sys.argv[1]
os.makedirs(folder, exist_ok=True)
h, w = 23, 37
y, x = np.mgrid[0:h, 0:w]
rgb = np.stack([x * 6, y * 10, (x * 3 + y * 5) % 256], axis=-1).astype(np.uint8)
rgb[2:6, 3:12] = (250, 20, 20)  # a red mark near the top left
picture = Image.fromarray(rgb, "RGB")

for k in range(1, 9):
    exif = Image.Exif()
    exif[0x0112] = k
    path = os.path.join(folder, "o%d.jpg" % k)
    picture.save(path, quality=90, exif=exif.tobytes())
    with Image.open(path) as im:
        upright = ImageOps.exif_transpose(im).convert("RGB")
    with open(os.path.join(folder, "o%d.rgb" % k), "wb") as out:
        out.write(struct.pack(">II", *upright.size) + upright.tobytes())

exif = Image.Exif()
exif[0x0112] = 6
exif[0x010F] = "PhoneMaker"
exif[0x0110] = "Model 7"
exif[0x8825] = {1: "N", 2: (48.0, 51.0, 24.0)}
picture.save(os.path.join(folder, "gps.jpg"), quality=85, exif=exif.tobytes())
