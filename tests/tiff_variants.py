#!/usr/bin/python3
"""Writes the TIFF variants scanners, cameras and editors produce, each of
ten photos, with a reference for each file.

libtiff's tiffcp compresses, tiles and splits into planes a photo it first
wrote uncompressed; ImageMagick writes 16-bit, floating-point, CMYK and
RGBA files. manifest.txt gets a line "VARIANT FILE REFERENCE" per file:
REFERENCE is another TIFF (the same picture by `tiffcp -c none`, which the
reader has always read) or a .rgb file of top-down red, green, blue bytes
(Pillow's decode for JPEG, ImageMagick's for CMYK, the photo itself for
float, Pillow's RGBA over white for alpha).

    tiff_variants.py <folder>
"""
import os
import subprocess
import sys

import numpy as np
from PIL import Image

CONVERT = "/usr/local/bin/convert" if os.path.exists("/usr/local/bin/convert") else "/usr/bin/convert"
TIFFCP = "/usr/bin/tiffcp"
PHOTOS = 10

folder = sys.argv[1]
manifest = []


def path(name):
    return os.path.join(folder, name)


def run(*args, **kwargs):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, **kwargs).stdout


def photo(i, h=None, w=None):
    """Smooth light, edges and grain, at a size whose rows end inside a word."""
    rng = np.random.default_rng(40 + i)
    h, w = h or 37 + 5 * i, w or 53 + 7 * i
    y, x = np.mgrid[0:h, 0:w] / np.array([h, w])[:, None, None]
    base = np.stack([np.sin(3 * x + i) * 90 + 128, np.cos(4 * y - i) * 90 + 128, (x + y) * 110 + 10], axis=-1)
    base[int(h * 0.4):int(h * 0.6), int(w * 0.3):] *= 0.4
    grain = rng.normal(0, 9, base.shape)
    return np.clip(base + grain, 0, 255).astype(np.uint8)


def write_rgb(name, pixels):
    with open(path(name), "wb") as out:
        out.write(np.ascontiguousarray(pixels, dtype=np.uint8).tobytes())


def add(variant, name, reference):
    manifest.append(f"{variant} {name} {reference}")


for i in range(PHOTOS):
    rgb = photo(i)
    png = path(f"photo{i}.png")
    Image.fromarray(rgb).save(png)
    plain = f"plain{i}.tif"
    Image.fromarray(rgb).save(path(f"pil{i}.tif"), compression=None)
    run(TIFFCP, "-c", "none", path(f"pil{i}.tif"), path(plain))
    for variant, options in {
        "lzw": ["-c", "lzw"],
        "lzw-predictor": ["-c", "lzw:2"],
        "zip": ["-c", "zip"],
        "zip-predictor": ["-c", "zip:2"],
        "packbits": ["-c", "packbits"],
        "tiles": ["-t", "-w", "16", "-l", "16", "-c", "lzw"],
        "separate": ["-p", "separate", "-c", "zip"],
    }.items():
        name = f"{variant}{i}.tif"
        run(TIFFCP, *options, path(plain), path(name))
        add(variant, name, plain)

    jpeg = f"jpeg{i}.tif"
    run(TIFFCP, "-c", "jpeg:90", "-r", "16", path(plain), path(jpeg))
    with Image.open(path(jpeg)) as im:
        write_rgb(f"jpeg{i}.rgb", np.asarray(im.convert("RGB")))
    add("jpeg", jpeg, f"jpeg{i}.rgb")

    # A bilevel scan: CCITT group 4 against the same bits uncompressed.
    bits = Image.fromarray(rgb).convert("L").point(lambda v: 255 * (v > 120)).convert("1")
    bits.save(path(f"bits{i}.tif"), compression=None)
    run(TIFFCP, "-c", "none", path(f"bits{i}.tif"), path(f"bitsplain{i}.tif"))
    run(TIFFCP, "-c", "g4", path(f"bits{i}.tif"), path(f"g4{i}.tif"))
    add("g4", f"g4{i}.tif", f"bitsplain{i}.tif")

    deep = f"deep{i}.tif"
    run(CONVERT, png, "-depth", "16", "-compress", "lzw", path(deep))
    run(TIFFCP, "-c", "none", path(deep), path(f"deepplain{i}.tif"))
    add("16-bit", deep, f"deepplain{i}.tif")

    floats = f"float{i}.tif"
    run(CONVERT, png, "-define", "quantum:format=floating-point", "-depth", "32", "-compress", "zip", path(floats))
    write_rgb(f"photo{i}.rgb", rgb)
    add("float", floats, f"photo{i}.rgb")

    cmyk = f"cmyk{i}.tif"
    run(CONVERT, png, "-colorspace", "CMYK", "-compress", "lzw", path(cmyk))
    write_rgb(f"cmyk{i}.rgb", np.frombuffer(run(CONVERT, path(cmyk), "-colorspace", "sRGB", "-depth", "8", "rgb:-"),
                                            dtype=np.uint8))
    add("cmyk", cmyk, f"cmyk{i}.rgb")

    rgba = f"rgba{i}.tif"
    alpha = (np.add.outer(np.arange(rgb.shape[0]) * 5, np.arange(rgb.shape[1]) * 3) % 256).astype(np.uint8)
    Image.fromarray(np.dstack([rgb, alpha]), "RGBA").save(path(f"rgba{i}.png"))
    run(CONVERT, path(f"rgba{i}.png"), "-compress", "lzw", path(rgba))
    with Image.open(path(rgba)) as im:
        pixels = np.asarray(im.convert("RGBA"), dtype=np.int64)
    over = (pixels[..., :3] * pixels[..., 3:] + 255 * (255 - pixels[..., 3:]) + 127) // 255
    write_rgb(f"rgba{i}.rgb", over)
    add("rgba", rgba, f"rgba{i}.rgb")

# Photos large enough for their strips to be read in ranges on several
# cores, and one with a strip in the middle ruined, which reads as it does
# on one core (REFERENCE "damaged").
rgb = photo(PHOTOS, 1003, 1401)
Image.fromarray(rgb).save(path("pilbig.tif"), compression=None)
run(TIFFCP, "-c", "none", path("pilbig.tif"), path("plainbig.tif"))
for variant, options in {
    "split-lzw": ["-c", "lzw"],
    "split-zip-predictor": ["-c", "zip:2", "-r", "7"],
    "split-packbits": ["-c", "packbits", "-r", "3"],
    "split-tiles": ["-t", "-w", "64", "-l", "64", "-c", "lzw"],
    "split-separate": ["-p", "separate", "-c", "zip", "-r", "16"],
}.items():
    run(TIFFCP, *options, path("plainbig.tif"), path(f"{variant}.tif"))
    add(variant, f"{variant}.tif", "plainbig.tif")
run(TIFFCP, "-c", "jpeg:90", "-r", "16", path("plainbig.tif"), path("split-jpeg.tif"))
with Image.open(path("split-jpeg.tif")) as im:
    write_rgb("split-jpeg.rgb", np.asarray(im.convert("RGB")))
add("split-jpeg", "split-jpeg.tif", "split-jpeg.rgb")
Image.fromarray(rgb).save(path("photobig.png"))
run(CONVERT, path("photobig.png"), "-colorspace", "CMYK", "-compress", "lzw", path("split-cmyk.tif"))
write_rgb("split-cmyk.rgb", np.frombuffer(run(CONVERT, path("split-cmyk.tif"), "-colorspace", "sRGB", "-depth", "8",
                                              "rgb:-"), dtype=np.uint8))
add("split-cmyk", "split-cmyk.tif", "split-cmyk.rgb")
ruined = bytearray(open(path("split-lzw.tif"), "rb").read())
middle = len(ruined) // 2
ruined[middle:middle + 4000] = np.random.default_rng(7).integers(0, 256, 4000, dtype=np.uint8).tobytes()
open(path("split-ruined.tif"), "wb").write(ruined)
add("split-ruined", "split-ruined.tif", "damaged")

with open(path("manifest.txt"), "w") as out:
    out.write("\n".join(manifest) + "\n")
