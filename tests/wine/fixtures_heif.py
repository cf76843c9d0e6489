#!/usr/bin/python3
"""HEIC (heif-enc) and AVIF (avifenc, with alpha) inputs for the Windows
tests, each with the 24-bit BMP (written by Pillow) of the reference
decoder's picture composited over white.

    fixtures_heif.py <folder>
"""
import os
import subprocess
import sys

import numpy as np
from PIL import Image

folder = sys.argv[1]
os.makedirs(folder, exist_ok=True)
rng = np.random.default_rng(25)
path = lambda name: os.path.join(folder, name)


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def over_white(png, bmp):
    rgba = np.asarray(Image.open(png).convert("RGBA")).astype(np.float64) / 255.0
    shown = rgba[..., :3] * rgba[..., 3:] + (1.0 - rgba[..., 3:])
    Image.fromarray(np.floor(shown * 255.0 + 0.5).astype(np.uint8), "RGB").save(bmp)


h, w = 96, 160
y, x = np.mgrid[0:h, 0:w]
rgb = np.stack([x * 255 // (w - 1), y * 255 // (h - 1), (x + y) % 256], axis=-1)
rgb = np.clip(rgb + rng.integers(-8, 9, rgb.shape), 0, 255).astype(np.uint8)
alpha = np.clip(x * 255 // (w - 1), 0, 255).astype(np.uint8)
Image.fromarray(rgb, "RGB").save(path("heif_photo.src.png"))
Image.fromarray(np.dstack([rgb, alpha]), "RGBA").save(path("heif_alpha.src.png"))

run("/usr/bin/heif-enc", "-q", "90", path("heif_photo.src.png"), "-o", path("heif_photo.heic"))
run("/usr/bin/heif-convert", path("heif_photo.heic"), path("heif_photo.ref.png"))
over_white(path("heif_photo.ref.png"), path("heif_photo.expected.bmp"))

run("/usr/bin/avifenc", "-s", "8", "-d", "10", path("heif_alpha.src.png"), path("heif_web.avif"))
run("/usr/bin/avifdec", "-u", "nearest", "-d", "8", path("heif_web.avif"), path("heif_web.ref.png"))
over_white(path("heif_web.ref.png"), path("heif_web.expected.bmp"))

# Stored on its side and mirrored, as a phone may store a picture: avifdec
# shows the picture as coded, turned here a quarter anticlockwise (irot 1)
# and then its top and bottom swapped (imir 0).
run("/usr/bin/avifenc", "-s", "8", "-d", "8", "-y", "444", "--irot", "1", "--imir", "0", path("heif_photo.src.png"),
    path("heif_turned.avif"))
run("/usr/bin/avifdec", "-d", "8", path("heif_turned.avif"), path("heif_turned.ref.png"))
coded = np.asarray(Image.open(path("heif_turned.ref.png")).convert("RGB"))
Image.fromarray(np.ascontiguousarray(np.flipud(np.rot90(coded))), "RGB").save(path("heif_turned.expected.bmp"))

for name in ("heif_photo.src.png", "heif_alpha.src.png", "heif_photo.ref.png", "heif_web.ref.png",
             "heif_turned.ref.png"):
    os.remove(path(name))
