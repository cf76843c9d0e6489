#!/usr/bin/python3
"""Writes GIF files with Pillow, ImageMagick and gifsicle for the GIF reader
tests, and for each NAME.gif the picture the reader should make of it in
NAME.rgb: width and height as two big-endian 32-bit numbers, then the
logical screen top-down as red, green, blue. Pillow decodes the first
image's indices; the screen is composed by the reader's rules: background
index around the image, the transparent index in the colour of the global
background entry (white without a global table). Names go to manifest.txt.

    gif_fixtures.py <folder>
"""
import os
import struct
import subprocess
import sys

import numpy as np
from PIL import Image

CONVERT = "/usr/bin/convert"
GIFSICLE = "/usr/bin/gifsicle"
rng = np.random.default_rng(11)


def parse(data):
    """Screen, tables and the first image's descriptor, as the reader sees them."""
    width, height, packed, background = struct.unpack("<HHBB", data[6:12])
    pos = 13
    info = {"size": (width, height), "background": 0, "global": None, "transparent": None}
    if packed & 0x80:
        n = 3 << ((packed & 7) + 1)
        info["global"] = data[pos:pos + n]
        info["background"] = background
        pos += n
    while True:
        block = data[pos]
        if block == 0x21:
            label = data[pos + 1]
            if label == 0xF9:
                if data[pos + 3] & 1:
                    info["transparent"] = data[pos + 6]
                pos += 8
                continue
            pos += 2
            while data[pos]:
                pos += data[pos] + 1
            pos += 1
        elif block == 0x2C:
            left, top, w, h, packed = struct.unpack("<HHHHB", data[pos + 1:pos + 10])
            info["box"] = (left, top, w, h)
            info["local"] = None
            if packed & 0x80:
                info["local"] = data[pos + 10:pos + 10 + (3 << ((packed & 7) + 1))]
            return info


def palette_array(table):
    p = np.zeros((256, 3), dtype=np.uint8)
    if table:
        t = np.frombuffer(table, dtype=np.uint8).reshape(-1, 3)
        p[:len(t)] = t
    return p


def expected(path):
    data = open(path, "rb").read()
    info = parse(data)
    width, height = info["size"]
    left, top, w, h = info["box"]
    glob = palette_array(info["global"])
    active = palette_array(info["local"]) if info["local"] else glob.copy()
    if info["transparent"] is not None:
        active[info["transparent"]] = glob[info["background"]] if info["global"] else (255, 255, 255)
    screen = np.full((height, width), info["background"], dtype=np.uint8)
    im = Image.open(path)
    im.load()
    assert im.mode == "P", (path, im.mode)
    indices = np.asarray(im)
    if indices.shape == (h, w):
        screen[top:top + h, left:left + w] = indices
    else:
        screen[top:top + h, left:left + w] = indices[top:top + h, left:left + w]
    rgb = active[screen]
    return struct.pack(">II", width, height) + rgb.tobytes()


def random_picture(width, height, colours):
    indices = rng.integers(0, colours, size=(height, width), dtype=np.uint8)
    # Runs and repeats as well as noise, so the codes grow long strings.
    indices[: height // 2, :] = (np.arange(width) * colours // width).astype(np.uint8)
    im = Image.fromarray(indices, "P")
    palette = rng.integers(0, 256, size=(colours, 3), dtype=np.uint8)
    palette[:, 0] |= 1  # never an all-grey palette, which Pillow reads as L
    im.putpalette(palette.tobytes())
    return im


def with_local_table(path, out, version=b"89a"):
    """Moves the global table into the first image's local table."""
    data = bytearray(open(path, "rb").read())
    packed = data[10]
    n = 3 << ((packed & 7) + 1)
    table = bytes(data[13:13 + n])
    data[10] = packed & 0x70
    data[11] = 0
    del data[13:13 + n]
    pos = data.index(b"\x2c", 13)
    while data[pos] != 0x2C:  # skip extensions
        pos += 1
    data[pos + 9] |= 0x80 | (packed & 7)
    data[pos + 10:pos + 10] = table
    data[3:6] = version
    open(out, "wb").write(bytes(data))


def main(folder):
    names = []

    def add(name):
        names.append(name)

    for colours in (2, 4, 16, 100, 256):
        im = random_picture(53, 37, colours)
        im.save(os.path.join(folder, f"pillow{colours}.gif"), interlace=False)
        add(f"pillow{colours}")
    im = random_picture(61, 45, 64)
    im.save(os.path.join(folder, "pillow_interlaced.gif"), interlace=True)
    add("pillow_interlaced")
    im = random_picture(40, 30, 16)
    im.save(os.path.join(folder, "pillow_transparent.gif"), transparency=3, background=5)
    add("pillow_transparent")
    frames = [random_picture(30, 20, 8) for _ in range(3)]
    frames[0].save(os.path.join(folder, "pillow_animated.gif"), save_all=True, append_images=frames[1:],
                   duration=50, loop=0)
    add("pillow_animated")

    src = os.path.join(folder, "src.png")
    subprocess.run([CONVERT, "rose:", "-resize", "200%", src], check=True)
    im_cases = {
        "im_rose256": ["-colors", "256"],
        "im_rose7": ["-colors", "7"],
        "im_interlaced": ["-colors", "64", "-interlace", "GIF"],
        "im_offset": ["-colors", "32", "-repage", "300x200+40+25"],
        "im_transparent": ["-colors", "32", "-transparent", "#FFFFFF", "-fuzz", "10%"],
    }
    for name, args in im_cases.items():
        subprocess.run([CONVERT, src] + args + [os.path.join(folder, name + ".gif")], check=True)
        add(name)
    subprocess.run([CONVERT, "-delay", "10", src, "-colors", "16", "logo:", "-resize", "140x92!", "-colors", "16",
                    os.path.join(folder, "im_animated.gif")], check=True)
    add("im_animated")

    base = os.path.join(folder, "pillow16.gif")
    for name, args in {"gs_colours3": ["--colors", "3"], "gs_interlaced": ["--interlace"],
                       "gs_offset": ["--logical-screen", "90x70", "--position", "11,9"],
                       "gs_optimised": ["-O3", "--colors", "5"]}.items():
        out = os.path.join(folder, name + ".gif")
        subprocess.run([GIFSICLE] + args + [base, "-o", out], check=True)
        add(name)
    frames = [os.path.join(folder, n) for n in ("pillow4.gif", "pillow16.gif")]
    subprocess.run([GIFSICLE, "--no-warnings"] + frames + ["-o", os.path.join(folder, "gs_animated.gif")], check=True)
    add("gs_animated")

    with_local_table(os.path.join(folder, "pillow100.gif"), os.path.join(folder, "local87a.gif"), b"87a")
    add("local87a")
    with_local_table(os.path.join(folder, "pillow_transparent.gif"), os.path.join(folder, "local_transparent.gif"))
    add("local_transparent")

    for name in names:
        path = os.path.join(folder, name + ".gif")
        open(os.path.join(folder, name + ".rgb"), "wb").write(expected(path))
    open(os.path.join(folder, "manifest.txt"), "w").write("\n".join(names) + "\n")


if __name__ == "__main__":
    main(sys.argv[1])
