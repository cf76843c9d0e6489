#!/usr/bin/python3
"""Writes PNG files with Pillow and ImageMagick for the PNG reader tests.

For every file NAME.png it also writes NAME.rgb: the width and height as two
big-endian 32-bit numbers, then the picture top-down as red, green, blue,
taken from Pillow's decode of the file and put through the reader's rules:
samples cut to 8 bits, gAMA applied for a display gamma of 2.2, tRNS keys
and alpha composited over white with the reader's blend table. A line
"NAME depth colourtype interlace" per file goes to manifest.txt.

    png_fixtures.py <folder>
"""
import math
import os
import struct
import subprocess
import sys
import zlib

import numpy as np
from PIL import Image, PngImagePlugin

CONVERT = "/usr/bin/convert"
rng = np.random.default_rng(7)


def blend_table():
    t = np.zeros((256, 256), dtype=np.int64)
    for i in range(256):
        t[255][i] = t[i][255] = i
    for i in range(1, 255):
        a = (65536 * i) // 255
        for j in range(i, 255):
            t[i][j] = t[j][i] = (a * j + 32768) >> 16
    return t


BLEND = blend_table()


def blend(alpha, value, background=255):
    return np.minimum(BLEND[alpha, value] + BLEND[255 - alpha, background], 255)


def gamma_table(file_gamma):
    if file_gamma is None:
        return np.arange(256)
    e = 1.0 / (file_gamma / 100000.0 * 2.2)
    return np.array([0] + [math.floor(255 * (i / 255) ** e + 0.5) for i in range(1, 256)])


def chunks(path):
    data = open(path, "rb").read()
    pos, out = 8, []
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        out.append((kind, data[pos + 8:pos + 8 + length]))
        pos += 12 + length
    return out


def expected(path):
    found = dict()
    seen_plte = seen_idat = False
    for kind, body in chunks(path):
        if kind == b"IHDR":
            w, h, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", body)
        elif kind == b"PLTE":
            seen_plte = True
        elif kind == b"IDAT":
            seen_idat = True
        elif kind == b"gAMA" and not seen_plte and not seen_idat and "gAMA" not in found:
            found["gAMA"] = struct.unpack(">I", body)[0]
        elif kind == b"tRNS" and not seen_idat and "tRNS" not in found:
            found["tRNS"] = body
    g = gamma_table(found.get("gAMA"))
    trns = found.get("tRNS")
    im = Image.open(path)
    im.load()
    if ctype == 3:
        index = np.array(im)
        pal = np.array(im.getpalette("RGB"), dtype=np.int64).reshape(-1, 3)
        pal = np.vstack([pal, np.zeros((256 - len(pal), 3), dtype=np.int64)])
        pal = g[pal]
        if trns is not None:
            alpha = np.full(256, 255)
            alpha[:len(trns)] = list(trns)
            pal = blend(alpha[:, None], pal)
        rgb = pal[index]
    elif ctype in (0, 4):
        if ctype == 0:
            grey = np.array(im, dtype=np.int64)
            if depth == 16:
                grey >>= 8
            elif im.mode == "1":
                grey = grey * 255 // max(1, grey.max()) if grey.max() > 1 else grey * 255
        else:
            la = np.array(im.convert("LA") if im.mode != "LA" else im, dtype=np.int64)
            grey, alpha = la[:, :, 0], la[:, :, 1]
            grey = blend(alpha, grey)
        step = {1: 255, 2: 85, 4: 17}.get(depth, 1)
        out = g[grey]
        if ctype == 0 and trns is not None:
            key = trns[0] if depth == 16 else trns[1]
            out = np.where(grey // step == key, 255, out)
        rgb = np.stack([out] * 3, axis=-1)
    else:
        arr = np.array(im.convert("RGBA") if ctype == 6 else im.convert("RGB"), dtype=np.int64)
        rgb = arr[:, :, :3]
        if ctype == 6:
            rgb = blend(arr[:, :, 3:4], g[rgb])
        else:
            out = g[rgb]
            if trns is not None:
                k = 0 if depth == 16 else 1
                key = np.array([trns[k], trns[2 + k], trns[4 + k]])
                out = np.where((rgb == key).all(axis=-1, keepdims=True), 255, out)
            rgb = out
    return w, h, depth, ctype, interlace, rgb.astype(np.uint8)


def picture(w, h, levels=None):
    """A smooth picture with noise; quantised to `levels` values when given."""
    y, x = np.mgrid[0:h, 0:w]
    base = np.stack([x * 255 // max(1, w - 1), y * 255 // max(1, h - 1), (x + y) * 255 // (w + h)], axis=-1)
    noisy = np.clip(base + rng.integers(-20, 21, base.shape), 0, 255)
    if levels:
        step = 255 // (levels - 1)
        noisy = (noisy + step // 2) // step * step
    return noisy.astype(np.uint8)


def gamma_info(value):
    info = PngImagePlugin.PngInfo()
    info.add(b"gAMA", struct.pack(">I", value))
    return info


def pillow_cases(folder):
    w, h = 29, 17
    p = picture(w, h)
    grey = p[:, :, 0]
    yield "pil_grey1", lambda f: Image.fromarray(grey > 127).save(f)
    yield "pil_grey8_gamma", lambda f: Image.fromarray(grey, "L").save(f, pnginfo=gamma_info(100000))
    key = int(grey[3, 4])
    yield "pil_grey8_trns", lambda f: Image.fromarray(grey, "L").save(f, transparency=key)
    wide = (grey.astype(np.uint16) << 8) | rng.integers(0, 256, grey.shape, dtype=np.uint16)
    yield "pil_grey16_trns", lambda f: Image.fromarray(wide.astype(np.int32), "I").save(
        f, transparency=int(wide[5, 6]))
    for bits in (1, 2, 4, 8):
        n = 1 << bits
        index = rng.integers(0, n, (h, w), dtype=np.uint8)

        def save(f, bits=bits, n=n, index=index):
            im = Image.fromarray(index, "P")
            im.putpalette(list(rng.integers(0, 256, 3 * n, dtype=np.uint8)))
            alpha = bytes(rng.integers(0, 256, max(1, n // 2), dtype=np.uint8))
            im.save(f, bits=bits, transparency=alpha, pnginfo=gamma_info(60000))
        yield f"pil_pal{bits}_trns_gamma", save
    rgb_key = tuple(int(v) for v in p[2, 2])
    yield "pil_rgb_trns_gamma", lambda f: Image.fromarray(p, "RGB").save(
        f, transparency=rgb_key, pnginfo=gamma_info(50000))
    alpha = rng.integers(0, 256, (h, w, 1), dtype=np.uint8)
    alpha[0, :4, 0] = [0, 255, 128, 1]
    yield "pil_rgba_gamma", lambda f: Image.fromarray(np.concatenate([p, alpha], axis=-1), "RGBA").save(
        f, pnginfo=gamma_info(70000))
    yield "pil_la_gamma", lambda f: Image.fromarray(np.stack([grey, alpha[:, :, 0]], axis=-1), "LA").save(
        f, pnginfo=gamma_info(80000))


# depth, colour type, source picture levels, ImageMagick output prefix
MAGICK = [
    (1, 0, 2, ""), (2, 0, 4, ""), (4, 0, 16, ""), (8, 0, None, ""), (16, 0, None, ""),
    (1, 3, 2, ""), (2, 3, 4, ""), (4, 3, 16, ""), (8, 3, 6, ""),
    (8, 2, None, ""), (16, 2, None, ""), (8, 6, None, ""), (16, 6, None, ""),
    (8, 4, None, ""), (16, 4, None, ""),
]


def magick_cases(folder):
    w, h = 23, 19
    for depth, ctype, levels, _ in MAGICK:
        for interlace in (0, 1):
            name = f"im_d{depth}_c{ctype}_{'adam7' if interlace else 'plain'}"

            def save(f, depth=depth, ctype=ctype, levels=levels, interlace=interlace):
                p = picture(w, h, levels)
                if ctype in (0, 4):
                    p = np.stack([p[:, :, 0]] * 3, axis=-1)
                if ctype in (4, 6):
                    alpha = rng.integers(0, 256, (h, w, 1), dtype=np.uint8)
                    src = Image.fromarray(np.concatenate([p, alpha], axis=-1), "RGBA")
                else:
                    src = Image.fromarray(p, "RGB")
                source = f + ".src.png"
                src.save(source)
                args = [CONVERT, "-quiet", source, "-define", f"png:bit-depth={depth}", "-define",
                        f"png:color-type={ctype}"]
                if ctype == 3:
                    args += ["-colors", str(min(256, 1 << depth))]
                if depth == 16:
                    args += ["-depth", "16"]
                args += ["-interlace", "PNG" if interlace else "None", f]
                subprocess.run(args, check=True, stderr=subprocess.DEVNULL)
                os.remove(source)
            yield name, save


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    lines = []
    for name, save in list(pillow_cases(folder)) + list(magick_cases(folder)):
        path = os.path.join(folder, name + ".png")
        save(path)
        w, h, depth, ctype, interlace, rgb = expected(path)
        with open(os.path.join(folder, name + ".rgb"), "wb") as out:
            out.write(struct.pack(">II", w, h) + rgb.tobytes())
        lines.append(f"{name} {depth} {ctype} {interlace}\n")
    with open(os.path.join(folder, "manifest.txt"), "w") as out:
        out.writelines(lines)


if __name__ == "__main__":
    main()
