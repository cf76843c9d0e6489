#!/usr/bin/python3
"""Writes the inputs of the output identity test (test_output_identity.cpp)
into tests/data/identity/. They are committed: the listing of output hashes
must depend on vrelk alone, not on the encoders of the machine that runs the
test. Run this only to add or change an input, then regenerate the listing.

BMP, PNG and TIFF files are written byte by byte here; JPEG, GIF and WebP
by Pillow, HEIC by heif-enc, AVIF by avifenc; the colour profiles are made
by Little CMS with a fixed date.

    identity_fixtures.py [FOLDER]
"""
import ctypes
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

import numpy as np
from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "data", "identity")
os.makedirs(folder, exist_ok=True)
work = tempfile.mkdtemp()
W, H = 64, 48
OW, OH = 61, 45  # odd: padded rows, half chroma samples, partial blocks


def path(name):
    return os.path.join(folder, name)


def save(name, data):
    with open(path(name), "wb") as out:
        out.write(data)


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def photo(w, h, seed):
    """Smooth shading, edges and a little noise: what photos give a coder."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    rgb = np.stack([128 + 100 * np.sin(x / 9.0 + y / 14.0),
                    40 + 180 * x / max(w - 1, 1),
                    128 + 90 * np.cos((x - y) / 7.0)], -1)
    rgb[(x // 16 + y // 12) % 2 == 0] *= 0.8
    return np.clip(rgb + rng.normal(0, 5, rgb.shape), 0, 255).astype(np.uint8)


def alpha(w, h):
    """Clear at the left through every level to opaque at the right, with a clear band."""
    y, x = np.mgrid[0:h, 0:w]
    a = (x * 255 // max(w - 1, 1)).astype(np.uint8)
    a[h // 2:h // 2 + 3] = 0
    return a


def grey(rgb):
    return (rgb.astype(np.uint32) @ np.array([77, 150, 29]) >> 8).astype(np.uint8)


def indexed(rgb, colours):
    """Palette and indices of the picture reduced to `colours` entries."""
    p = Image.fromarray(rgb).quantize(colours, dither=Image.Dither.NONE)
    table = np.array(p.getpalette()[:3 * colours], dtype=np.uint8).reshape(-1, 3)
    return table, np.asarray(p).astype(np.uint8)


def deep(rgb, seed):
    """16-bit samples with detail below the eighth bit."""
    rng = np.random.default_rng(seed)
    return (rgb.astype(np.uint32) * 257 + rng.integers(0, 256, rgb.shape) - 128).clip(0, 65535).astype(np.uint16)


# ---- colour profiles (Little CMS) -----------------------------------------

lcms = ctypes.CDLL("liblcms2.so.2")


class XyY(ctypes.Structure):
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double), ("Y", ctypes.c_double)]


class XyYTriple(ctypes.Structure):
    _fields_ = [("red", XyY), ("green", XyY), ("blue", XyY)]


lcms.cmsBuildParametricToneCurve.restype = ctypes.c_void_p
lcms.cmsBuildParametricToneCurve.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.POINTER(ctypes.c_double)]
lcms.cmsBuildGamma.restype = ctypes.c_void_p
lcms.cmsBuildGamma.argtypes = [ctypes.c_void_p, ctypes.c_double]
lcms.cmsCreateRGBProfile.restype = ctypes.c_void_p
lcms.cmsCreateRGBProfile.argtypes = [ctypes.POINTER(XyY), ctypes.POINTER(XyYTriple), ctypes.POINTER(ctypes.c_void_p)]
lcms.cmsCreateGrayProfile.restype = ctypes.c_void_p
lcms.cmsCreateGrayProfile.argtypes = [ctypes.POINTER(XyY), ctypes.c_void_p]
lcms.cmsSaveProfileToMem.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint32)]
lcms.cmsCloseProfile.argtypes = [ctypes.c_void_p]
D65 = XyY(0.3127, 0.3290, 1.0)
D50 = XyY(0.3457, 0.3585, 1.0)


def saved(profile):
    size = ctypes.c_uint32(0)
    lcms.cmsSaveProfileToMem(profile, None, ctypes.byref(size))
    data = ctypes.create_string_buffer(size.value)
    lcms.cmsSaveProfileToMem(profile, data, ctypes.byref(size))
    lcms.cmsCloseProfile(profile)
    data = bytearray(data.raw)
    assert data[84:100] == bytes(16), "a profile id would cover the date"
    data[24:36] = struct.pack(">6H", 2024, 1, 1, 0, 0, 0)  # made on a fixed day
    return bytes(data)


def rgb_profile(primaries, curve):
    curves = (ctypes.c_void_p * 3)(curve, curve, curve)
    return saved(lcms.cmsCreateRGBProfile(ctypes.byref(D65), ctypes.byref(XyYTriple(*primaries)), curves))


SRGB_CURVE = (ctypes.c_double * 5)(2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045)
P3 = rgb_profile([XyY(0.680, 0.320, 1), XyY(0.265, 0.690, 1), XyY(0.150, 0.060, 1)],
                 lcms.cmsBuildParametricToneCurve(None, 4, SRGB_CURVE))
ADOBE = rgb_profile([XyY(0.640, 0.330, 1), XyY(0.210, 0.710, 1), XyY(0.150, 0.060, 1)],
                    lcms.cmsBuildGamma(None, 563.0 / 256.0))
GREY18 = saved(lcms.cmsCreateGrayProfile(ctypes.byref(D50), lcms.cmsBuildGamma(None, 1.8)))

# ---- BMP -------------------------------------------------------------------


def bmp(name, w, h, bits, rows, palette=(), compression=0, masks=(), top_down=False, info_size=40, data=None):
    """Rows top-down, unpadded; `data` replaces them for compressed files."""
    if data is None:
        stride = (len(rows[0]) + 3) & ~3
        ordered = rows if top_down else rows[::-1]
        data = b"".join(r + bytes(stride - len(r)) for r in ordered)
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    mask_bytes = b"".join(struct.pack("<I", m) for m in masks)
    info = struct.pack("<IiiHHIIiiII", info_size, w, -h if top_down else h, 1, bits, compression, len(data),
                       2835, 2835, len(palette), 0)
    if info_size > 40:  # V4/V5: the masks inside the header, sRGB
        info += mask_bytes.ljust(16, b"\0") + b"BGRs" + bytes(info_size - 60)
        mask_bytes = b""
    head = info + mask_bytes + table
    offset = 14 + len(head)
    save(name, b"BM" + struct.pack("<IHHI", offset + len(data), 0, 0, offset) + head + data)


def packed(indices, bits):
    per = 8 // bits
    width = indices.shape[1] + (-indices.shape[1]) % per
    padded = np.zeros((indices.shape[0], width), dtype=np.uint8)
    padded[:, :indices.shape[1]] = indices
    out = np.zeros((indices.shape[0], width // per), dtype=np.uint8)
    for i in range(per):
        out |= padded[:, i::per] << (8 - bits * (i + 1))
    return [row.tobytes() for row in out]


def rle8(indices):
    """Runs only, each row ended by 0 0, the picture by 0 1."""
    out = bytearray()
    for row in indices[::-1]:
        x = 0
        while x < len(row):
            n = 1
            while x + n < len(row) and n < 255 and row[x + n] == row[x]:
                n += 1
            out += bytes((n, row[x]))
            x += n
        out += b"\0\0"
    return bytes(out + b"\0\1")


def write_bmps():
    odd = photo(OW, OH, 1)
    table2, idx2 = indexed(odd, 2)
    bmp("bmp-1bit.bmp", OW, OH, 1, packed(idx2, 1), table2)
    bmp("bmp-4bit.bmp", OW, OH, 4, packed(indexed(odd, 16)[1], 4), indexed(odd, 16)[0])
    pic = photo(W, H, 2)
    table256, idx256 = indexed(pic, 256)
    rows8 = [row.tobytes() for row in idx256]
    bmp("bmp-8bit.bmp", W, H, 8, rows8, table256)
    bmp("bmp-8bit-topdown.bmp", W, H, 8, rows8, table256, top_down=True)
    bgr = [row[:, ::-1].tobytes() for row in odd]
    bmp("bmp-24bit.bmp", OW, OH, 24, bgr)
    bmp("bmp-24bit-topdown.bmp", OW, OH, 24, bgr, top_down=True)
    bgrx = [row.tobytes() for row in np.dstack([pic[..., ::-1], np.zeros((H, W), np.uint8)])]
    bmp("bmp-32bit.bmp", W, H, 32, bgrx)
    bgra = [row.tobytes() for row in np.dstack([pic[..., ::-1], alpha(W, H)])]
    bmp("bmp-32bit-v5-alpha.bmp", W, H, 32, bgra, compression=3,
        masks=(0xFF0000, 0xFF00, 0xFF, 0xFF000000), info_size=124)
    bmp("bmp-32bit-bitfields.bmp", W, H, 32, bgrx, compression=3, masks=(0xFF0000, 0xFF00, 0xFF))
    r, g, b = (pic[..., c].astype(np.uint16) for c in range(3))
    rows565 = [row.tobytes() for row in ((r >> 3) << 11 | (g >> 2) << 5 | b >> 3).astype("<u2")]
    bmp("bmp-16bit-565.bmp", W, H, 16, rows565, compression=3, masks=(0xF800, 0x07E0, 0x001F))
    rows555 = [row.tobytes() for row in ((r >> 3) << 10 | (g >> 3) << 5 | b >> 3).astype("<u2")]
    bmp("bmp-16bit-555.bmp", W, H, 16, rows555)
    table16, idx16 = indexed(pic, 16)
    bmp("bmp-rle8.bmp", W, H, 8, None, table16, compression=1, data=rle8(idx16))


# ---- PNG -------------------------------------------------------------------


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def row_bytes(samples, depth):
    """One row of samples (width x channels) as the file stores it."""
    flat = samples.reshape(-1)
    if depth == 16:
        return flat.astype(">u2").tobytes()
    if depth == 8:
        return flat.astype(np.uint8).tobytes()
    return packed(flat.astype(np.uint8)[None, :], depth)[0]


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else b if pb <= pc else c


def filtered(raw, prior, kind, bpp):
    """The row under filter `kind`; every kind appears, so the reader undoes each."""
    out = bytearray((kind,))
    for i, x in enumerate(raw):
        a = raw[i - bpp] if i >= bpp else 0
        b = prior[i]
        c = prior[i - bpp] if i >= bpp else 0
        predictor = (0, a, b, (a + b) // 2, paeth(a, b, c))[kind]
        out.append((x - predictor) & 0xFF)
    return bytes(out)


ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def png(samples, colour_type, depth, extra=(), palette=None, trns=None, interlaced=False):
    """The file's bytes; samples: height x width x channels."""
    h, w = samples.shape[:2]
    channels = samples.shape[2]
    bpp = max(1, channels * depth // 8)
    passes = [(samples[y0::dy, x0::dx]) for x0, y0, dx, dy in ADAM7] if interlaced else [samples]
    stream = bytearray()
    for n, part in enumerate(passes):
        if part.size == 0:
            continue
        prior = bytes(len(row_bytes(part[0], depth)))
        for r, row in enumerate(part):
            raw = row_bytes(row, depth)
            stream += filtered(raw, prior, (r + n) % 5, bpp)
            prior = raw
    body = chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, depth, colour_type, 0, 0, int(interlaced)))
    for kind, data in extra:
        body += chunk(kind, data)
    if palette is not None:
        body += chunk(b"PLTE", palette.tobytes())
    if trns is not None:
        body += chunk(b"tRNS", trns)
    body += chunk(b"IDAT", zlib.compress(bytes(stream), 9)) + chunk(b"IEND", b"")
    return b"\x89PNG\r\n\x1a\n" + body


def iccp(profile):
    return (b"iCCP", b"profile\0\0" + zlib.compress(profile, 9))


def write_pngs():
    pic = photo(W, H, 3)
    odd = photo(OW, OH, 4)
    a = alpha(W, H)
    g = grey(pic)
    table, idx = indexed(pic, 200)
    table16, idx16 = indexed(odd, 16)
    files = {
        "png-grey.png": png(g[..., None], 0, 8),
        "png-grey-2bit.png": png((grey(odd) >> 6)[..., None], 0, 2),
        "png-grey16.png": png(deep(g, 5)[..., None], 0, 16),
        "png-grey-alpha.png": png(np.dstack([g, a]), 4, 8),
        "png-palette.png": png(idx[..., None], 3, 8, palette=table),
        "png-palette-trns.png": png(idx[..., None], 3, 8, palette=table, trns=bytes(i * 37 % 256 for i in range(120))),
        "png-palette-4bit.png": png(idx16[..., None], 3, 4, palette=table16),
        "png-palette-4bit-interlaced.png": png(idx16[..., None], 3, 4, palette=table16, interlaced=True),
        "png-rgb.png": png(odd, 2, 8),
        "png-rgb-trns.png": png(pic, 2, 8, trns=struct.pack(">3H", *map(int, pic[10, 10]))),
        "png-rgba.png": png(np.dstack([pic, a]), 6, 8),
        "png-rgb16.png": png(deep(odd, 6), 2, 16),
        "png-rgba16.png": png(np.dstack([deep(pic, 7), deep(a, 8)]), 6, 16),
        "png-rgb-interlaced.png": png(odd, 2, 8, interlaced=True),
        "png-rgb-gama.png": png(pic, 2, 8, extra=[(b"gAMA", struct.pack(">I", 55556))]),
        "png-rgb-iccp-adobe.png": png(pic, 2, 8, extra=[iccp(ADOBE)]),
        "png-grey-iccp.png": png(g[..., None], 0, 8, extra=[iccp(GREY18)]),
    }
    for name, data in files.items():
        save(name, data)
    save("png-truncated.png", files["png-rgb.png"][:len(files["png-rgb.png"]) // 2])


# ---- TIFF ------------------------------------------------------------------


TIFF_TYPES = {3: "H", 4: "I", 5: "I", 7: "B"}  # short, long, rational, undefined


def tiff_directory(tags, e, extra_at):
    """The directory and the values too long for its entries, stored from extra_at."""
    entries, extra = [], bytearray()
    for tag, kind, values in tags:
        data = struct.pack(e + TIFF_TYPES[kind] * len(values), *values)
        count = len(values) // 2 if kind == 5 else len(values)
        if len(data) <= 4:
            entries.append(struct.pack(e + "HHI", tag, kind, count) + data.ljust(4, b"\0"))
        else:
            entries.append(struct.pack(e + "HHII", tag, kind, count, extra_at + len(extra)))
            extra += data + b"\0" * (len(data) % 2)
    return struct.pack(e + "H", len(tags)) + b"".join(entries) + struct.pack(e + "I", 0) + bytes(extra)


def tiff(name, samples, depth, photometric, big_endian=False, colormap=None, resolution=None, icc=None):
    """Uncompressed, in strips of 16 rows, after the directory."""
    e = ">" if big_endian else "<"
    h, w, channels = samples.shape
    data = samples.astype(e + "u2").tobytes() if depth == 16 else b"".join(row_bytes(row, depth) for row in samples)
    stride = len(data) // h
    strips = [data[r * stride:(r + 16) * stride] for r in range(0, h, 16)]
    tags = [(256, 4, [w]), (257, 4, [h]), (258, 3, [depth] * channels), (259, 3, [1]), (262, 3, [photometric]),
            (273, 4, [0] * len(strips)), (277, 3, [channels]), (278, 4, [16]), (279, 4, [len(s) for s in strips])]
    if resolution:
        tags += [(282, 5, [resolution, 1]), (283, 5, [resolution, 1]), (296, 3, [2])]
    if colormap is not None:
        tags.append((320, 3, list(colormap)))
    if icc:
        tags.append((34675, 7, list(icc)))
    extra_at = 8 + 2 + 12 * len(tags) + 4
    strip_at = 8 + len(tiff_directory(tags, e, extra_at))
    tags[5] = (273, 4, [strip_at + sum(len(s) for s in strips[:i]) for i in range(len(strips))])
    head = (b"MM" if big_endian else b"II") + struct.pack(e + "HI", 42, 8)
    save(name, head + tiff_directory(tags, e, extra_at) + b"".join(strips))


def write_tiffs():
    pic = photo(W, H, 9)
    odd = photo(OW, OH, 10)
    tiff("tiff-rgb.tif", odd, 8, 2, resolution=300)
    tiff("tiff-grey.tif", grey(pic)[..., None], 8, 1)
    tiff("tiff-grey-whiteiszero.tif", grey(odd)[..., None], 8, 0, big_endian=True)
    tiff("tiff-rgb16.tif", deep(pic, 11), 16, 2)
    tiff("tiff-rgb16-bigendian.tif", deep(odd, 12), 16, 2, big_endian=True, resolution=72)
    tiff("tiff-grey16.tif", deep(grey(pic), 13)[..., None], 16, 1)
    table, idx = indexed(odd, 256)
    colormap = np.concatenate([table[:, c].astype(np.uint32) * 257 for c in range(3)])
    tiff("tiff-palette.tif", idx[..., None], 8, 3, colormap=colormap)
    tiff("tiff-rgb-p3.tif", pic, 8, 2, icc=P3)
    Image.fromarray(pic).save(path("tiff-lzw.tif"), compression="tiff_lzw")


# ---- JPEG, GIF, WebP (Pillow) ------------------------------------------------


def exif_orientation(value):
    exif = Image.Exif()
    exif[0x0112] = value
    return exif.tobytes()


def write_jpegs():
    pic = Image.fromarray(photo(W, H, 14))
    odd = Image.fromarray(photo(OW, OH, 15))
    pic.save(path("jpeg-420.jpg"), quality=90, subsampling=2)
    pic.save(path("jpeg-444.jpg"), quality=90, subsampling=0)
    odd.save(path("jpeg-422-odd.jpg"), quality=90, subsampling=1)
    pic.convert("L").save(path("jpeg-grey.jpg"), quality=90)
    pic.save(path("jpeg-progressive.jpg"), quality=90, progressive=True)
    odd.save(path("jpeg-exif6.jpg"), quality=90, exif=exif_orientation(6))
    pic.save(path("jpeg-p3.jpg"), quality=90, icc_profile=P3)
    pic.convert("CMYK").save(path("jpeg-cmyk.jpg"), quality=90)
    whole = open(path("jpeg-420.jpg"), "rb").read()
    save("jpeg-truncated.jpg", whole[:len(whole) * 2 // 3])


def gif_image_descriptor(data):
    """Where the first image descriptor starts."""
    pos = 13 + (3 << ((data[10] & 7) + 1) if data[10] & 0x80 else 0)
    while data[pos] == 0x21:
        pos += 2
        while data[pos]:
            pos += data[pos] + 1
        pos += 1
    return pos


def write_gifs():
    pic = photo(W, H, 16)
    p = Image.fromarray(pic).quantize(64, dither=Image.Dither.NONE)
    p.save(path("gif-palette.gif"), interlace=False, optimize=False)
    p.save(path("gif-interlaced.gif"), interlace=True, optimize=False)
    centre = int(np.asarray(p)[H // 2, W // 2])
    p.save(path("gif-transparent.gif"), interlace=False, optimize=False, transparency=centre)
    # The first image inside a larger screen, at (5, 3).
    data = bytearray(open(path("gif-palette.gif"), "rb").read())
    data[6:10] = struct.pack("<HH", W + 12, H + 7)
    at = gif_image_descriptor(data)
    data[at + 1:at + 5] = struct.pack("<HH", 5, 3)
    save("gif-on-screen.gif", bytes(data))
    second = Image.fromarray(photo(W, H, 17)).quantize(64, dither=Image.Dither.NONE)
    p.save(path("gif-animated.gif"), save_all=True, append_images=[second], duration=100, loop=0, optimize=False)


def write_webps():
    pic = photo(W, H, 18)
    rgba = Image.fromarray(np.dstack([pic, alpha(W, H)]), "RGBA")
    Image.fromarray(pic).save(path("webp-lossy.webp"), quality=80, method=4)
    Image.fromarray(photo(OW, OH, 19)).save(path("webp-lossless.webp"), lossless=True)
    rgba.save(path("webp-lossy-alpha.webp"), quality=80, method=4)
    rgba.save(path("webp-lossless-alpha.webp"), lossless=True)
    Image.fromarray(pic).save(path("webp-p3.webp"), quality=80, method=4, icc_profile=P3)
    second = Image.fromarray(photo(W, H, 20))
    Image.fromarray(pic).save(path("webp-animated.webp"), save_all=True, append_images=[second], duration=100,
                              quality=80, method=4)


# ---- HEIC and AVIF -----------------------------------------------------------


def write_heifs():
    pic = photo(W, H, 21)
    odd = photo(OW, OH, 22)
    sources = {"rgb": png(odd, 2, 8), "rgba": png(np.dstack([pic, alpha(W, H)]), 6, 8),
               "rgb16": png(deep(odd, 23), 2, 16), "grey": png(grey(pic)[..., None], 0, 8),
               "rgb-p3": png(pic, 2, 8, extra=[iccp(P3)])}
    source = {}
    for name, data in sources.items():
        source[name] = os.path.join(work, name + ".png")
        with open(source[name], "wb") as out:
            out.write(data)
    for name, picture, options in [("heic-plain", "rgb", []), ("heic-alpha", "rgba", []),
                                   ("heic-10bit", "rgb16", ["-b", "10"]), ("heic-p3", "rgb-p3", [])]:
        run("heif-enc", "-q", "80", *options, source[picture], "-o", path(name + ".heic"))
    for name, picture, options in [("avif-plain", "rgb", ["-d", "8", "-y", "420"]),
                                   ("avif-alpha", "rgba", ["-d", "8"]),
                                   ("avif-10bit", "rgb", ["-d", "10", "-y", "444"]),
                                   ("avif-grey", "grey", ["-d", "8", "-y", "400"])]:
        run("avifenc", "-j", "1", "-s", "8", "--min", "10", "--max", "30", *options, source[picture],
            path(name + ".avif"))


write_bmps()
write_pngs()
write_tiffs()
write_jpegs()
write_gifs()
write_webps()
write_heifs()
save("not-an-image.bmp", b"A text file under a picture's name.\n")
shutil.rmtree(work)
