#!/usr/bin/python3
"""Writes TIFF files with Pillow, ImageMagick and libtiff's tiffcp for the
TIFF reader tests.

For every readable file NAME.tif it writes NAME.rgb, Pillow's decode of the
file's first page as top-down red, green, blue. manifest.txt gets a line
"NAME ERROR" per file: 0 when the file must decode, otherwise the failure
number the reader must give.

    tiff_fixtures.py <folder>
"""
import os
import subprocess
import sys

import numpy as np
from PIL import Image

CONVERT = "/usr/bin/convert"
TIFFCP = "/usr/bin/tiffcp"

folder = sys.argv[1]
manifest = []
rng = np.random.default_rng(12)
W, H = 37, 23  # odd sizes: rows of packed pixels end inside a byte


def path(name, ext="tif"):
    return os.path.join(folder, f"{name}.{ext}")


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)


def expect(name, error=0):
    if error == 0:
        with Image.open(path(name)) as im:
            im.seek(0)
            data = im.convert("RGB").tobytes()
        with open(path(name, "rgb"), "wb") as out:
            out.write(data)
    manifest.append(f"{name} {error}")


y, x = np.mgrid[0:H, 0:W]
rgb = np.stack([x * 255 // (W - 1), y * 255 // (H - 1), (x * y) % 256], axis=-1).astype(np.uint8)
rgb[::5, ::3] = rng.integers(0, 256, (len(range(0, H, 5)), len(range(0, W, 3)), 3), dtype=np.uint8)
grey = ((x * 7 + y * 11) % 256).astype(np.uint8)
sources = {
    "rgb": Image.fromarray(rgb, "RGB"),
    "grey": Image.fromarray(grey, "L"),
    "grey4": Image.fromarray((grey // 17 * 17).astype(np.uint8), "L"),
    "bilevel": Image.fromarray(((x + 2 * y) % 5 < 2).astype(np.uint8) * 255, "L").convert("1"),
    "palette": Image.fromarray(rgb, "RGB").quantize(200, dither=Image.Dither.NONE),
    "palette4": Image.fromarray(rgb, "RGB").quantize(16, dither=Image.Dither.NONE),
}
for name, image in sources.items():
    image.save(path("src_" + name, "png"))

# Pillow, little-endian, one strip.
for name in ("rgb", "grey", "bilevel", "palette"):
    sources[name].save(path("pil_" + name), compression=None)
    expect("pil_" + name)

# ImageMagick, both byte orders, with its own strip sizes and photometrics.
magick = {
    "rgb": ("rgb", ["-type", "TrueColor", "-depth", "8"]),
    "rgb16": ("rgb", ["-type", "TrueColor", "-depth", "16"]),
    "grey": ("grey", ["-type", "Grayscale", "-depth", "8"]),
    "grey4": ("grey4", ["-type", "Grayscale", "-depth", "4"]),
    "bilevel_white": ("bilevel", ["-type", "Bilevel", "-depth", "1", "-define", "quantum:polarity=min-is-white"]),
    "bilevel_black": ("bilevel", ["-type", "Bilevel", "-depth", "1", "-define", "quantum:polarity=min-is-black"]),
    "palette": ("palette", ["-type", "Palette", "-depth", "8"]),
    "palette4": ("palette4", ["-type", "Palette", "-depth", "4"]),
    "rgb_row_strips": ("rgb", ["-type", "TrueColor", "-define", "tiff:rows-per-strip=1"]),
}
for name, (source, options) in magick.items():
    for endian in ("LSB", "MSB"):
        out = f"im_{name}_{endian.lower()}"
        run(CONVERT, path("src_" + source, "png"), *options, "-compress", "None", "-endian", endian, path(out))
        expect(out)

# libtiff's tiffcp: byte-order rewrites, one row per strip, a two-page file,
# compression and separate planes.
for name in ("rgb", "grey", "bilevel", "palette"):
    for flag in ("-B", "-L"):
        out = f"tiffcp_{name}{flag.lower()}"
        run(TIFFCP, "-c", "none", flag, path("pil_" + name), path(out))
        expect(out)
    run(TIFFCP, "-c", "none", "-B", "-r", "1", path("pil_" + name), path(f"tiffcp_{name}_rows"))
    expect(f"tiffcp_{name}_rows")
run(TIFFCP, "-c", "none", "-B", path("im_rgb16_lsb"), path("tiffcp_rgb16_b"))
expect("tiffcp_rgb16_b")
run(TIFFCP, "-c", "none", path("pil_palette"), path("pil_rgb"), path("two_pages"))
expect("two_pages")
for name, options in {"lzw": ["-c", "lzw"], "packbits": ["-c", "packbits"], "planar": ["-p", "separate"]}.items():
    run(TIFFCP, *options, path("pil_rgb"), path("tiffcp_" + name))
    expect("tiffcp_" + name)

with open(os.path.join(folder, "manifest.txt"), "w") as out:
    out.write("\n".join(manifest) + "\n")
