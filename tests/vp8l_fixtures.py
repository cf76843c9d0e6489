#!/usr/bin/python3
"""Lossless WebP files whose palette pixels point past the palette, written
bit by bit, with dwebp's picture of each as the reference.

For every file NAME.webp it writes NAME.rgb: dwebp's own output (RGBA when
the file claims alpha, else RGB) composited over white as the reader
blends, top-down red, green, blue. vp8l_manifest.txt gets "NAME WIDTH HEIGHT".

    vp8l_fixtures.py <folder> [views]

With "views" it prints, for each file, how dwebp's RGBA (-pam) over white
and its RGB (-ppm) differ from the reference (the largest difference).
"""
import io
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
from PIL import Image

folder = Path(sys.argv[1])
rng = np.random.default_rng(31)


class Bits:
    """The bitstream, least significant bit first."""

    def __init__(self):
        self.value, self.count = 0, 0

    def put(self, value, count):
        self.value |= value << self.count
        self.count += count

    def bytes(self):
        return self.value.to_bytes((self.count + 7) // 8, "little")


def prefix_code(bits, symbols, alphabet=256):
    """Writes a code for the symbols and returns the writer of one: a simple
    code of no bits when there is one symbol, else every literal 8 bits."""
    distinct = set(symbols)
    if len(distinct) == 1:
        bits.put(0b101, 3)  # simple, one symbol, of 8 bits
        bits.put(distinct.pop(), 8)
        return lambda symbol: None
    bits.put(0, 1)
    bits.put(12 - 4, 4)  # code length codes up to the one for length 8
    for order in range(12):
        bits.put(1 if order == 11 else 0, 3)
    if alphabet > 256:
        bits.put(1, 1)  # lengths for the 256 literals only
        bits.put(3, 3)
        bits.put(256 - 2, 8)
    else:
        bits.put(0, 1)
    return lambda symbol: bits.put(int(f"{symbol:08b}"[::-1], 2), 8)


def entropy_image(bits, argb, level0):
    """Pixels as green, red, blue, alpha literals; no cache, one code group."""
    bits.put(0, 1)
    if level0:
        bits.put(0, 1)
    channels = [[(p >> shift) & 255 for p in argb] for shift in (8, 16, 0, 24)]
    writers = [prefix_code(bits, c, 280 if i == 0 else 256) for i, c in enumerate(channels)]
    prefix_code(bits, [0], 40)
    for pixel in zip(*channels):
        for write, symbol in zip(writers, pixel):
            write(symbol)


def indices_per_byte(colours):
    return 1 if colours > 16 else 2 if colours > 4 else 4 if colours > 2 else 8


def vp8l(width, height, alpha_is_used, palette, indices):
    bits = Bits()
    bits.put(0x2F, 8)
    bits.put(width - 1, 14)
    bits.put(height - 1, 14)
    bits.put(alpha_is_used, 1)
    bits.put(0, 3)
    bits.put(1, 1)
    bits.put(3, 2)  # colour indexing
    bits.put(len(palette) - 1, 8)
    deltas = [palette[0]] + [sum(((a >> s) - (b >> s)) % 256 << s for s in (0, 8, 16, 24))
                             for a, b in zip(palette[1:], palette)]
    entropy_image(bits, deltas, False)
    bits.put(0, 1)
    per_byte = indices_per_byte(len(palette))
    packed = []
    for row in indices:
        for x in range(0, width, per_byte):
            group = row[x:x + per_byte]
            packed.append(0xFF000000 | sum(i << (8 // per_byte * k) for k, i in enumerate(group)) << 8)
    entropy_image(bits, packed, True)
    return bits.bytes()


def chunk(tag, data):
    return tag + struct.pack("<I", len(data)) + data + b"\0" * (len(data) & 1)


def riff(*chunks):
    body = b"WEBP" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def canvas(width, height):
    return struct.pack("<I", width - 1)[:3] + struct.pack("<I", height - 1)[:3]


def still(flags, bitstream):
    extended = [] if flags is None else [chunk(b"VP8X", bytes([flags, 0, 0, 0]) + canvas(W, H))]
    return riff(*extended, chunk(b"VP8L", bitstream))


def animation(flags, inset, bitstream):
    """The bitstream as the one frame, `inset` (even) pixels in from every
    edge of the canvas, not blended."""
    frame = struct.pack("<I", inset // 2)[:3] * 2 + canvas(W, H) + b"\x64\0\0\x02"
    return riff(chunk(b"VP8X", bytes([flags, 0, 0, 0]) + canvas(W + 2 * inset, H + 2 * inset)),
                chunk(b"ANIM", b"\xff\xff\xff\xff\0\0"), chunk(b"ANMF", frame + chunk(b"VP8L", bitstream)))


STILLS = {"plain": None, "vp8x": 0x00, "vp8x_alpha": 0x10}
ANIMATIONS = {"anim": (0x12, 0), "anim_inset": (0x02, 2)}


def blend(a, c):
    """The reader's blend table: a * c / 255 through a 16-bit scale."""
    low, high = np.minimum(a, c).astype(np.int64), np.maximum(a, c).astype(np.int64)
    value = ((65536 * low // 255) * high + 32768) >> 16
    return np.where(low == 0, 0, np.where(high == 255, low, value))


def over_white(rgba):
    a = rgba[..., 3:4]
    return np.minimum(blend(a, rgba[..., :3]) + 255 - a, 255)


def dwebp(webp, *options):
    """dwebp's picture as rows of samples: RGBA, or RGB when it writes no alpha."""
    command = ["dwebp", "-quiet", *options, str(webp), "-o", "-"]
    out = subprocess.run(command, check=True, stdout=subprocess.PIPE).stdout
    if out.startswith(b"P7"):  # PAM, which Pillow does not read
        header, body = out.split(b"ENDHDR\n", 1)
        fields = dict(line.split() for line in header.split(b"\n")[1:-1])
        size = int(fields[b"HEIGHT"]), int(fields[b"WIDTH"]), 4
        return np.frombuffer(body, np.uint8).reshape(size).astype(np.int64)
    return np.asarray(Image.open(io.BytesIO(out))).astype(np.int64)


def shown(picture):
    return over_white(picture) if picture.shape[2] == 4 else picture


def write(name, reference):
    (folder / f"{name}.rgb").write_bytes(reference.astype(np.uint8).tobytes())
    manifest.append(f"{name} {reference.shape[1]} {reference.shape[0]}")


manifest = []
W, H = 13, 20  # an odd width leaves the last packed byte part empty
for colours in (1, 2, 3, 16, 17, 200):
    palette = [int(v) for v in rng.integers(0, 1 << 32, colours, dtype=np.uint64)]
    palette[0] |= 0xFF000000
    palette[-1] &= 0x00FFFFFF | int(rng.integers(1, 255)) << 24
    # Every index the packing allows, those past the palette included, which
    # dwebp shows as transparent black.
    span = 1 << 8 // indices_per_byte(colours)
    indices = [[(x * 7 + y * W) % span for x in range(W)] for y in range(H)]
    argb = np.array([[palette[i] if i < colours else 0 for i in row] for row in indices], np.int64)
    expected = np.stack([(argb >> s) & 255 for s in (16, 8, 0, 24)], -1)
    for alpha_is_used in (0, 1):
        bitstream = vp8l(W, H, alpha_is_used, palette, indices)
        for kind, flags in STILLS.items():
            name = f"p{colours}_a{alpha_is_used}_{kind}"
            (folder / f"{name}.webp").write_bytes(still(flags, bitstream))
            assert (dwebp(folder / f"{name}.webp", "-pam") == expected).all()
            reference = shown(dwebp(folder / f"{name}.webp"))
            write(name, reference)
            if sys.argv[2:] == ["views"]:
                pam, ppm = (np.abs(shown(dwebp(folder / f"{name}.webp", o)) - reference).max() for o in ("-pam", "-ppm"))
                print(f"{name}: dwebp -pam over white differs by {pam}, -ppm by {ppm}")
        # dwebp shows no animation: the frame's picture is the still's, on a
        # canvas that is clear (white) elsewhere.
        for kind, (flags, inset) in ANIMATIONS.items():
            name = f"p{colours}_a{alpha_is_used}_{kind}"
            (folder / f"{name}.webp").write_bytes(animation(flags, inset, bitstream))
            on_canvas = np.full((H + 2 * inset, W + 2 * inset, 3), 255, np.int64)
            on_canvas[inset:inset + H, inset:inset + W] = reference
            write(name, on_canvas)
(folder / "vp8l_manifest.txt").write_text("\n".join(manifest) + "\n")
