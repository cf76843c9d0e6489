"""Input files for the Windows JPEG tests, made with Pillow and jpegtran.

    /usr/bin/python3 fixtures_jpeg.py <folder>

Each picture comes with a .rgb file holding its pixels as Pillow decodes
them (top row first, three bytes a pixel) for the tests to compare with.
"""
import io
import os
import shutil
import subprocess
import sys

import numpy as np
from PIL import Image


def gradient(width, height):
    x = np.arange(width)[None, :].repeat(height, 0)
    y = np.arange(height)[:, None].repeat(width, 1)
    return np.stack([x * 255 // (width - 1), y * 255 // (height - 1), 128 + (x - y) // 4], -1).astype(np.uint8)


def save_rgb(path, image):
    with open(path, "wb") as out:
        out.write(image.convert("RGB").tobytes())


def main(folder):
    os.makedirs(folder, exist_ok=True)
    at = lambda name: os.path.join(folder, name)
    rs = np.random.RandomState(11)

    Image.fromarray(gradient(83, 61)).save(at("colour.jpg"), quality=90, dpi=(72, 72))
    save_rgb(at("colour.rgb"), Image.open(at("colour.jpg")))

    Image.fromarray((rs.rand(20, 30) * 255).astype(np.uint8)).save(at("grey.jpg"), quality=90)
    save_rgb(at("grey.rgb"), Image.open(at("grey.jpg")))

    Image.fromarray(gradient(70, 50)).save(at("photo.bmp"))
    save_rgb(at("photo.rgb"), Image.open(at("photo.bmp")))
    Image.fromarray(gradient(70, 50)).save(at("photo.png"))

    Image.fromarray((rs.rand(128, 128, 3) * 255).astype(np.uint8)).save(at("noisy.bmp"))

    exif = Image.Exif()
    exif[0x010F] = "Tessaly test camera"
    Image.fromarray((rs.rand(40, 50, 3) * 255).astype(np.uint8)).save(
        at("exif.jpg"), quality=85, exif=exif.tobytes(), comment=b"made for a test", progressive=True)
    jpegtran = shutil.which("jpegtran", path="/usr/bin")
    if jpegtran:
        subprocess.run([jpegtran, "-copy", "none", "-optimize", "-outfile", at("exif_ref.jpg"), at("exif.jpg")],
                       check=True)


if __name__ == "__main__":
    main(sys.argv[1])
