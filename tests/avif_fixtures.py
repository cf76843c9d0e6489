#!/usr/bin/python3
"""Pictures for the AVIF writer tests, and what the reference decoders
make of the files written from them.

    avif_fixtures.py make <folder>
        photo1.png .. photo3.png (photo-like), screen.png (flat colours and
        hard edges), odd.png (37x23), pixel.png (1x1), grey.png (8-bit
        grey, 121x77), profile.png (RGB with a wide-gamut ICC profile)
    avif_fixtures.py decode <source.png> <file.avif>
        per decoder (heif-convert, avifdec) one line:
        "NAME WIDTH HEIGHT PSNR GREYSPREAD PROFILEKEPT"
    avif_fixtures.py compare <source.png> <ours.avif> <theirs.avif>
        "OURSIZE THEIRSIZE OURPSNR THEIRPSNR", decoded by heif-convert
    avif_fixtures.py differ <one.avif> <other.avif>
        how many samples of the two differ, both decoded by heif-convert
"""
import ctypes
import math
import os
import subprocess
import sys
import tempfile

import numpy as np
from PIL import Image


class XyY(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double), ("Y", ctypes.c_double)]


def wide_gamut_profile():
    """An RGB profile with Adobe RGB's primaries, made by Little CMS: one the
    program keeps rather than converting away as it does sRGB."""
    lcms = ctypes.CDLL("liblcms2.so.2")
    lcms.cmsBuildGamma.restype = ctypes.c_void_p
    lcms.cmsBuildGamma.argtypes = [ctypes.c_void_p, ctypes.c_double]
    lcms.cmsCreateRGBProfile.restype = ctypes.c_void_p
    lcms.cmsCreateRGBProfile.argtypes = [ctypes.POINTER(XyY), ctypes.POINTER(XyY * 3), ctypes.POINTER(ctypes.c_void_p)]
    lcms.cmsSaveProfileToMem.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint32)]
    curve = lcms.cmsBuildGamma(None, 563.0 / 256.0)
    primaries = (XyY * 3)(XyY(0.640, 0.330, 1), XyY(0.210, 0.710, 1), XyY(0.150, 0.060, 1))
    profile = lcms.cmsCreateRGBProfile(ctypes.byref(XyY(0.3127, 0.3290, 1.0)), ctypes.byref(primaries),
                                       (ctypes.c_void_p * 3)(curve, curve, curve))
    size = ctypes.c_uint32(0)
    lcms.cmsSaveProfileToMem(profile, None, ctypes.byref(size))
    data = ctypes.create_string_buffer(size.value)
    lcms.cmsSaveProfileToMem(profile, data, ctypes.byref(size))
    return data.raw


def photo(w, h, seed):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    a, b, c = rng.uniform(40, 160, 3)
    base = np.stack([128 + 100 * np.sin(x / a) * np.cos(y / b),
                     128 + 90 * np.sin((x + y) / c),
                     128 + 80 * np.cos(x / b - y / a)], -1)
    return np.clip(base + rng.normal(0, 8, base.shape), 0, 255).astype(np.uint8)


def screen(w, h):
    rng = np.random.default_rng(3)
    rgb = np.full((h, w, 3), 240, np.uint8)
    rgb[:24] = (40, 80, 160)
    for _ in range(120):
        x, y = rng.integers(0, w - 40), rng.integers(30, h - 10)
        rgb[y:y + 8, x:x + rng.integers(8, 40)] = rng.integers(0, 90, 3)
    return rgb


def make(folder):
    for i in range(3):
        Image.fromarray(photo(640, 480, 11 + i)).save(os.path.join(folder, f"photo{i + 1}.png"))
    Image.fromarray(screen(640, 400)).save(os.path.join(folder, "screen.png"))
    Image.fromarray(photo(37, 23, 5)).save(os.path.join(folder, "odd.png"))
    Image.fromarray(photo(1, 1, 6)).save(os.path.join(folder, "pixel.png"))
    Image.fromarray(photo(121, 77, 7)[..., 1]).save(os.path.join(folder, "grey.png"))
    Image.fromarray(photo(96, 64, 8)).save(os.path.join(folder, "profile.png"), icc_profile=wide_gamut_profile())


def psnr(a, b):
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return 99.0 if mse == 0 else 10 * math.log10(255.0 ** 2 / mse)


def decoded(tool, avif, png):
    command = {"heif-convert": ["heif-convert", avif, png], "avifdec": ["avifdec", "-d", "8", avif, png]}[tool]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return Image.open(png)


def decode(source, avif):
    original = Image.open(source)
    expected = np.asarray(original.convert("RGB"))
    with tempfile.TemporaryDirectory() as work:
        for tool in ("heif-convert", "avifdec"):
            try:
                image = decoded(tool, avif, os.path.join(work, tool + ".png"))
            except subprocess.CalledProcessError:
                print(tool, 0, 0, 0, 255, 0)
                continue
            rgb = np.asarray(image.convert("RGB"))
            spread = int((rgb.max(axis=2).astype(int) - rgb.min(axis=2)).max())
            quality = psnr(rgb, expected) if rgb.shape == expected.shape else 0
            kept = int(image.info.get("icc_profile") == original.info.get("icc_profile"))
            print(tool, image.size[0], image.size[1], f"{quality:.3f}", spread, kept)


def compare(source, ours, theirs):
    expected = np.asarray(Image.open(source).convert("RGB"))
    with tempfile.TemporaryDirectory() as work:
        figures = [os.path.getsize(ours), os.path.getsize(theirs)]
        for i, avif in enumerate((ours, theirs)):
            rgb = np.asarray(decoded("heif-convert", avif, os.path.join(work, f"{i}.png")).convert("RGB"))
            figures.append(psnr(rgb, expected))
    print(*figures)


def differ(one, other):
    with tempfile.TemporaryDirectory() as work:
        a, b = (np.asarray(decoded("heif-convert", avif, os.path.join(work, f"{i}.png")).convert("RGB"))
                for i, avif in enumerate((one, other)))
    print(int((a != b).sum()) if a.shape == b.shape else a.size)


if __name__ == "__main__":
    {"make": make, "decode": decode, "compare": compare, "differ": differ}[sys.argv[1]](*sys.argv[2:])
