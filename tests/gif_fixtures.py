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
    info = {"size": (width, height), "background": 0, "global": None, "transparent": None, "local": None}
    pos = 13
    if packed & 0x80:
        pos += 3 << ((packed & 7) + 1)
        info["global"], info["background"] = data[13:pos], background
    while data[pos] == 0x21:
        if data[pos + 1] == 0xF9 and data[pos + 3] & 1:
            info["transparent"] = data[pos + 6]
        pos += 2
        while data[pos]:
            pos += data[pos] + 1
        pos += 1
    left, top, w, h, packed = struct.unpack("<HHHHB", data[pos + 1:pos + 10])
    info["box"], info["descriptor"] = (left, top, w, h), pos
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
    info = parse(bytes(data))
    pos, packed, table = info["descriptor"], data[10], info["global"]
    data[pos + 9] |= 0x80 | (packed & 7)
    data[pos + 10:pos + 10] = table
    data[10], data[11], data[3:6] = packed & 0x70, 0, version
    del data[13:13 + len(table)]
    open(out, "wb").write(bytes(data))


def main(folder):
    names = []
    at = lambda name: os.path.join(folder, name + ".gif")

    def run(name, command):
        subprocess.run(command + (["-o"] if command[0] == GIFSICLE else []) + [at(name)], check=True)
        names.append(name)

    for colours in (2, 4, 16, 100, 256):
        random_picture(53, 37, colours).save(at(f"pillow{colours}"), interlace=False)
        names.append(f"pillow{colours}")
    random_picture(61, 45, 64).save(at("pillow_interlaced"), interlace=True)
    random_picture(40, 30, 16).save(at("pillow_transparent"), transparency=3, background=5)
    frames = [random_picture(30, 20, 8) for _ in range(3)]
    frames[0].save(at("pillow_animated"), save_all=True, append_images=frames[1:], duration=50, loop=0)
    names += ["pillow_interlaced", "pillow_transparent", "pillow_animated"]

    src = os.path.join(folder, "src.png")
    subprocess.run([CONVERT, "rose:", "-resize", "200%", src], check=True)
    run("im_rose256", [CONVERT, src, "-colors", "256"])
    run("im_rose7", [CONVERT, src, "-colors", "7"])
    run("im_interlaced", [CONVERT, src, "-colors", "64", "-interlace", "GIF"])
    run("im_offset", [CONVERT, src, "-colors", "32", "-repage", "300x200+40+25"])
    run("im_transparent", [CONVERT, src, "-colors", "32", "-fuzz", "10%", "-transparent", "#FFFFFF"])
    run("im_animated", [CONVERT, "-delay", "10", src, "-colors", "16", "logo:", "-resize", "140x92!", "-colors", "16"])

    base = at("pillow16")
    run("gs_colours3", [GIFSICLE, "--colors", "3", base])
    run("gs_interlaced", [GIFSICLE, "--interlace", base])
    run("gs_offset", [GIFSICLE, "--logical-screen", "90x70", "--position", "11,9", base])
    run("gs_optimised", [GIFSICLE, "-O3", "--colors", "5", base])
    run("gs_animated", [GIFSICLE, "--no-warnings", at("pillow4"), base])

    with_local_table(at("pillow100"), at("local87a"), b"87a")
    with_local_table(at("pillow_transparent"), at("local_transparent"))
    names += ["local87a", "local_transparent"]

    for name in names:
        open(os.path.join(folder, name + ".rgb"), "wb").write(expected(at(name)))
    open(os.path.join(folder, "manifest.txt"), "w").write("\n".join(names) + "\n")


if __name__ == "__main__":
    main(sys.argv[1])
