#!/usr/bin/python3
"""Writes HEIC files with heif-enc and AVIF files with avifenc for the HEIF
reader tests, and a tiled HEIC assembled here from tiles heif-enc coded.

For every file NAME.heic or NAME.avif it writes NAME.rgb: the reference
decoder's picture (heif-convert for HEIC, avifdec for AVIF) composited over
white, top-down red, green, blue. manifest.txt gets a line
"NAME.EXT WIDTH HEIGHT BITS TOLERANCE" per file: the size and depth the
reader must deliver and how far a channel may stray from the reference.

    heif_fixtures.py <folder>
"""
import os
import struct
import subprocess
import sys

import numpy as np
from PIL import Image

folder = sys.argv[1]
manifest = []
rng = np.random.default_rng(25)


def path(name):
    return os.path.join(folder, name)


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def picture(w, h):
    y, x = np.mgrid[0:h, 0:w]
    rgb = np.stack([x * 255 // max(w - 1, 1), y * 255 // max(h - 1, 1), (x * 3 + y * 5) % 256], axis=-1)
    rgb = rgb + rng.integers(-12, 13, rgb.shape)
    return np.clip(rgb, 0, 255).astype(np.uint8)


def reference_over_white(png):
    """The reference decode at 16 bits a channel, over white, rounded to 8 bits."""
    w, h = Image.open(png).size
    raw = subprocess.run(["/usr/bin/convert", png, "-alpha", "on", "-depth", "16", "-endian", "MSB", "rgba:-"],
                         check=True, stdout=subprocess.PIPE).stdout
    rgba = np.frombuffer(raw, dtype=">u2").reshape(h, w, 4).astype(np.float64) / 65535.0
    shown = rgba[..., :3] * rgba[..., 3:] + (1.0 - rgba[..., 3:])
    return w, h, np.floor(shown * 255.0 + 0.5).astype(np.uint8)


def expect(name, bits, tolerance):
    ref = path(name + ".ref.png")
    if name.endswith(".avif"):
        # libheif places each chroma sample over its 2x2 luma block, as
        # avifdec's nearest upsampling does; its default interpolates.
        run("/usr/bin/avifdec", "-u", "nearest", path(name), ref)
    else:
        run("/usr/bin/heif-convert", path(name), ref)
    w, h, rgb = reference_over_white(ref)
    with open(path(name + ".rgb"), "wb") as out:
        out.write(rgb.tobytes())
    manifest.append(f"{name} {w} {h} {bits} {tolerance}")


W, H = 67, 45  # odd: chroma planes of 4:2:0 end half a sample early
photo = picture(W, H)
Image.fromarray(photo).save(path("photo.png"))
Image.fromarray(photo).save(path("photo.jpg"), quality=95)
# Deep samples with detail below the eighth bit, for the 10 and 12-bit coders.
deep = (photo.astype(np.uint32) * 257 + rng.integers(0, 256, photo.shape)).astype(">u2")
with open(path("photo16.rgb"), "wb") as raw:
    raw.write(deep.tobytes())
run("/usr/bin/convert", "-endian", "MSB", "-size", f"{W}x{H}", "-depth", "16", "rgb:" + path("photo16.rgb"), "PNG48:" + path("photo16.png"))
alpha = np.clip(np.mgrid[0:H, 0:W][1] * 255 // (W - 1) + rng.integers(-20, 21, (H, W)), 0, 255).astype(np.uint8)
alpha[:, :5] = 0
Image.fromarray(np.dstack([photo, alpha]), "RGBA").save(path("alpha.png"))
grey = photo[..., 1]
Image.fromarray(grey, "L").save(path("grey.png"))
Image.fromarray(picture(5, 3)).save(path("tiny.png"))

# heif-enc copies a JPEG's Exif, orientation 6 included, without turning
# the picture: the viewer's picture is the one as coded.
exif = Image.Exif()
exif[0x0112] = 6
Image.fromarray(photo).save(path("turned6.jpg"), quality=95, exif=exif.tobytes())
run("/usr/bin/heif-enc", "-q", "90", path("turned6.jpg"), "-o", path("heic_exif6.heic"))
expect("heic_exif6.heic", 24, 1)
assert manifest[-1].split()[1:3] == [str(W), str(H)]

HEIC = [
    ("heic_jpeg", "photo.jpg", [], 24, 1),
    ("heic_png", "photo.png", [], 24, 1),
    ("heic_444", "photo.png", ["-p", "chroma=444"], 24, 1),
    ("heic_10bit", "photo16.png", ["-b", "10"], 24, 2),
    ("heic_12bit", "photo16.png", ["-b", "12"], 24, 2),
    ("heic_alpha", "alpha.png", [], 24, 1),
    ("heic_tiny", "tiny.png", [], 24, 1),
]
for name, source, options, bits, tolerance in HEIC:
    run("/usr/bin/heif-enc", "-q", "90", *options, path(source), "-o", path(name + ".heic"))
    expect(name + ".heic", bits, tolerance)

AVIF = [
    ("avif_420", "photo.png", ["-d", "8", "-y", "420"], 24, 1),
    ("avif_444", "photo.png", ["-d", "8", "-y", "444"], 24, 1),
    ("avif_420_10", "photo.png", ["-d", "10", "-y", "420"], 24, 2),
    ("avif_444_10", "photo.png", ["-d", "10", "-y", "444"], 24, 2),
    ("avif_12", "photo.png", ["-d", "12", "-y", "444"], 24, 2),
    ("avif_mono", "grey.png", ["-d", "8", "-y", "400"], 8, 1),
    ("avif_mono_10", "grey.png", ["-d", "10", "-y", "400"], 8, 2),
    ("avif_alpha", "alpha.png", ["-d", "8"], 24, 1),
    ("avif_alpha_10", "alpha.png", ["-d", "10"], 24, 2),
    ("avif_tiny", "tiny.png", ["-d", "8", "-y", "420"], 24, 1),
]
for name, source, options, bits, tolerance in AVIF:
    run("/usr/bin/avifenc", "-s", "8", "--min", "0", "--max", "10", *options, path(source), path(name + ".avif"))
    expect(name + ".avif", bits, tolerance)


# ---- A tiled HEIC: four tiles coded by heif-enc, placed in a grid item ----

def boxes(data, start, end):
    pos = start
    while pos + 8 <= end:
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        header = 8
        if size == 1:
            size, header = struct.unpack(">Q", data[pos + 8:pos + 16])[0], 16
        elif size == 0:
            size = end - pos
        yield kind.decode("latin-1"), pos + header, pos + size
        pos += size


def child(data, start, end, kind):
    return next((s, e) for k, s, e in boxes(data, start, end) if k == kind)


def coded_tile(heic):
    """The hvcC box, the coded picture and its coded size from a heif-enc
    file: its one HEVC item (small pictures come inside a grid of one)."""
    data = open(heic, "rb").read()
    ms, me = child(data, 0, len(data), "meta")
    ms += 4
    iinf_start, iinf_end = child(data, ms, me, "iinf")
    hevc = [struct.unpack(">H", data[s + 4:s + 6])[0] for k, s, e in boxes(data, iinf_start + 6, iinf_end)
            if k == "infe" and data[s + 8:s + 12] == b"hvc1"]
    assert len(hevc) == 1
    item = hevc[0]
    iprp = child(data, ms, me, "iprp")
    properties = list(boxes(data, *child(data, *iprp, "ipco")))
    s, _ = child(data, *iprp, "ipma")
    wide_index = data[s + 3] & 1
    pos, mine = s + 8, []
    for _ in range(struct.unpack(">I", data[s + 4:s + 8])[0]):
        entry_item, count = struct.unpack(">HB", data[pos:pos + 3])
        pos += 3
        for _ in range(count):
            index = int.from_bytes(data[pos:pos + 1 + wide_index], "big") & (0x7FFF if wide_index else 0x7F)
            pos += 1 + wide_index
            if entry_item == item:
                mine.append(properties[index - 1])
    hvcc = next(data[s - 8:e] for k, s, e in mine if k == "hvcC")
    width, height = next(struct.unpack(">II", data[s + 4:s + 12]) for k, s, e in mine if k == "ispe")

    s, _ = child(data, ms, me, "iloc")
    version = data[s]
    offset_size, length_size, base_size, index_size = data[s + 4] >> 4, data[s + 4] & 15, data[s + 5] >> 4, data[s + 5] & 15
    pos = s + 6

    def take(n):
        nonlocal pos
        value = int.from_bytes(data[pos:pos + n], "big") if n else 0
        pos += n
        return value

    coded = b""
    for _ in range(take(2 if version < 2 else 4)):
        entry_item = take(2 if version < 2 else 4)
        if version > 0:
            take(2)  # construction method
        take(2)
        base = take(base_size)
        for _ in range(take(2)):
            if version > 0:
                take(index_size)
            offset, length = take(offset_size), take(length_size)
            if entry_item == item:
                coded += data[base + offset:base + offset + length]
    return hvcc, coded, width, height


def box(kind, payload):
    return struct.pack(">I4s", 8 + len(payload), kind.encode()) + payload


def full_box(kind, version, flags, payload):
    return box(kind, struct.pack(">I", version << 24 | flags) + payload)


def assemble(out, tiles, grid=None, transforms=b""):
    """A HEIC of coded pictures. With `grid` (columns, rows, width, height)
    item 1 is a grid of the tiles, items 2.. the tiles row by row; without,
    item 1 is the one coded picture. `transforms` are irot/imir boxes for
    item 1."""
    count = len(tiles)
    tile_w, tile_h = tiles[0][2:4]
    ids = list(range(2, 2 + count)) if grid else [1]
    infe = [full_box("infe", 2, 1 if grid else 0, struct.pack(">HH4s", i, 0, b"hvc1") + b"\0") for i in ids]
    props = [t[0] for t in tiles] + [full_box("ispe", 0, 0, struct.pack(">II", tile_w, tile_h))]
    tile_ispe = count + 1
    assoc = b"".join(struct.pack(">HBBB", i, 2, 0x80 | (n + 1), tile_ispe) for n, i in enumerate(ids))
    first_extra = len(props) + 1
    extras = list(boxes(transforms, 0, len(transforms)))
    props += [transforms[s - 8:e] for _, s, e in extras]
    extra_assoc = bytes(0x80 | (first_extra + n) for n in range(len(extras)))
    payloads = [t[1] for t in tiles]
    iref = b""
    if grid:
        columns, rows, out_w, out_h = grid
        infe.insert(0, full_box("infe", 2, 0, struct.pack(">HH4s", 1, 0, b"grid") + b"\0"))
        iref = full_box("iref", 0, 0, box("dimg", struct.pack(">HH", 1, count) + struct.pack(f">{count}H", *ids)))
        props.append(full_box("ispe", 0, 0, struct.pack(">II", out_w, out_h)))
        assoc = struct.pack(">HB", 1, 1 + len(extras)) + bytes([len(props)]) + extra_assoc + assoc
        payloads.insert(0, struct.pack(">BBBBHH", 0, 0, rows - 1, columns - 1, out_w, out_h))
    else:
        assoc = struct.pack(">HB", 1, 2 + len(extras)) + assoc[3:] + extra_assoc
    items = [1] + ids if grid else ids
    iinf = full_box("iinf", 0, 0, struct.pack(">H", len(infe)) + b"".join(infe))
    ipma = full_box("ipma", 0, 0, struct.pack(">I", len(items)) + assoc)
    iprp = box("iprp", box("ipco", b"".join(props)) + ipma)
    hdlr = full_box("hdlr", 0, 0, struct.pack(">I4s12s", 0, b"pict", b"\0" * 12) + b"\0")
    pitm = full_box("pitm", 0, 0, struct.pack(">H", 1))
    ftyp = box("ftyp", b"heic" + struct.pack(">I", 0) + b"mif1heic")

    def meta(first_offset):
        entries, offset = b"", first_offset
        for i, payload in zip(items, payloads):
            entries += struct.pack(">HHHII", i, 0, 1, offset, len(payload))
            offset += len(payload)
        iloc = full_box("iloc", 0, 0, bytes([0x44, 0x00]) + struct.pack(">H", len(items)) + entries)
        return full_box("meta", 0, 0, hdlr + pitm + iloc + iinf + iref + iprp)

    size = len(ftyp) + len(meta(0)) + 8
    with open(out, "wb") as f:
        f.write(ftyp + meta(size) + box("mdat", b"".join(payloads)))


def irot(degrees):
    return box("irot", bytes([degrees // 90]))


def imir(vertical_axis):
    return box("imir", bytes([vertical_axis]))


# Turned and mirrored as a phone stores a picture held on its side, with
# a picture large enough to be coded at its own size.
Image.fromarray(picture(160, 96)).save(path("large.png"))
run("/usr/bin/heif-enc", "-q", "90", path("large.png"), "-o", path("large.heic"))
single = coded_tile(path("large.heic"))
assert single[2:4] == (160, 96)
for name, transforms in [("heic_irot90", irot(90)), ("heic_irot270_imir", irot(270) + imir(1)),
                         ("heic_imir", imir(0))]:
    assemble(path(name + ".heic"), [single], transforms=transforms)
    expect(name + ".heic", 24, 1)

TW, TH = 128, 96
mosaic = picture(2 * TW, 2 * TH)
tiles = []
for r in range(2):
    for c in range(2):
        name = path(f"tile{r}{c}")
        Image.fromarray(mosaic[r * TH:(r + 1) * TH, c * TW:(c + 1) * TW]).save(name + ".png")
        run("/usr/bin/heif-enc", "-q", "90", name + ".png", "-o", name + ".heic")
        tiles.append(coded_tile(name + ".heic"))
        assert tiles[-1][2:4] == (TW, TH)
grid = (2, 2, 2 * TW - 6, 2 * TH - 5)  # the grid crops the last column and row of tiles
assemble(path("heic_grid.heic"), tiles, grid=grid)
expect("heic_grid.heic", 24, 1)
assemble(path("heic_grid_turned.heic"), tiles, grid=grid, transforms=irot(90))
expect("heic_grid_turned.heic", 24, 1)
assert manifest[-1].split()[1:3] == [str(2 * TH - 5), str(2 * TW - 6)]

with open(path("manifest.txt"), "w") as f:
    f.write("\n".join(manifest) + "\n")
