#!/usr/bin/python3
"""Inputs for the Windows AVIF tests, from Pillow: a photo-like JPEG, an
odd-sized PNG and an 8-bit grey PNG.

    fixtures_avif.py <folder>
"""
import os
import sys

import numpy as np
from PIL import Image

folder = sys.argv[1]
os.makedirs(folder, exist_ok=True)
path = lambda name: os.path.join(folder, name)
rng = np.random.default_rng(41)


def photo(w, h):
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    base = np.stack([128 + 100 * np.sin(x / 23) * np.cos(y / 31), 128 + 90 * np.sin((x + y) / 17),
                     128 + 80 * np.cos(x / 13 - y / 29)], -1)
    return np.clip(base + rng.normal(0, 8, base.shape), 0, 255).astype(np.uint8)


Image.fromarray(photo(320, 240)).save(path("toavif_photo.jpg"), quality=90)
Image.fromarray(photo(37, 23)).save(path("toavif_odd.png"))
Image.fromarray(photo(121, 77)[..., 1]).save(path("toavif_grey.png"))
