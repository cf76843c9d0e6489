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
import subprocess
import sys

import numpy as np
from PIL import Image

from heif_mux import assemble, clap, coded_tile, imir, irot, with_thumbnail

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

# Crops, turns and mirrorings the reader applies itself. Each file carries
# the coded picture of a plain file; transforms.txt has a line
# "FILE PLAIN STEP..." with the steps that show it, in the order the file
# associates them: crop:LEFT,TOP,RIGHT,BOTTOM (margins of the picture as
# shown so far), rot:K (K anticlockwise quarter turns), mir:M (0 swaps top
# and bottom, 1 left and right). The test applies them to the plain decode.
transformed = []


def steps_as_boxes(steps, w, h):
    out = b""
    for kind, *args in steps:
        if kind == "crop":
            left, top, right, bottom = args
            cw, ch = w - left - right, h - top - bottom
            # The offsets move the crop's centre from the picture's, in halves.
            out += clap(cw, 1, ch, 1, 2 * left - (w - cw), 2, 2 * top - (h - ch), 2)
            w, h = cw, ch
        elif kind == "rot":
            out += irot(90 * args[0])
            w, h = (h, w) if args[0] % 2 else (w, h)
        else:
            out += imir(args[0])
    return out


def step_words(steps):
    return " ".join(f"{kind}:{','.join(str(a) for a in args)}" for kind, *args in steps)


STEPS = [
    ("rot90", [("rot", 1)]), ("rot180", [("rot", 2)]), ("rot270", [("rot", 3)]),
    ("mir0", [("mir", 0)]), ("mir1", [("mir", 1)]), ("crop", [("crop", 3, 5, 8, 2)]),
    ("crop_rot_mir", [("crop", 3, 5, 7, 2), ("rot", 1), ("mir", 0)]),
    ("mir_rot_crop", [("mir", 1), ("rot", 3), ("crop", 1, 4, 6, 3)]),
    ("rot_crop", [("rot", 1), ("crop", 2, 1, 5, 0)]),
    ("mir_crop_rot", [("mir", 0), ("crop", 2, 3, 4, 5), ("rot", 2)]),
]

run("/usr/bin/avifenc", "-s", "8", "-d", "8", "-y", "420", path("large.png"), path("avif_large.avif"))
plain = {"heic": (single, "heic_large.heic"), "avif": (coded_tile(path("avif_large.avif")), "avif_large_plain.avif")}
for kind, (tile, plain_name) in plain.items():
    assemble(path(plain_name), [tile])
    for name, steps in STEPS:
        for first in (False, True):
            out = f"{kind}_{name}{'_first' if first else ''}.{kind}"
            assemble(path(out), [tile], transforms=steps_as_boxes(steps, *tile[2:4]), transforms_first=first)
            transformed.append(f"{out} {plain_name} {step_words(steps)}")
for name, steps in STEPS:
    out = f"heic_grid_{name}.heic"
    assemble(path(out), tiles, grid=grid, transforms=steps_as_boxes(steps, *grid[2:4]))
    transformed.append(f"{out} heic_grid.heic {step_words(steps)}")

# A crop that is not whole pixels, or not inside the picture, is passed over.
for name, bad in [("half_pixel", clap(21, 2, 40, 1, 0, 1, 0, 1)), ("outside", clap(150, 1, 90, 1, 40, 1, 0, 1)),
                  ("half_offset", clap(100, 1, 90, 1, 1, 2, 0, 1))]:
    out = f"heic_clap_{name}.heic"
    assemble(path(out), [single], transforms=bad + irot(180))
    transformed.append(f"{out} heic_large.heic rot:2")

# avifenc's own boxes, in its order of properties.
run("/usr/bin/avifenc", "-s", "8", "-d", "8", "-y", "444", path("large.png"), path("avif_enc_plain.avif"))
for name, options, steps in [("irot", ["--irot", "1"], [("rot", 1)]), ("imir0", ["--imir", "0"], [("mir", 0)]),
                             ("imir1", ["--imir", "1"], [("mir", 1)]),
                             ("crop", ["--crop", "4,6,120,80"], [("crop", 4, 6, 36, 10)]),
                             ("all", ["--crop", "4,6,120,80", "--irot", "3", "--imir", "0"],
                              [("crop", 4, 6, 36, 10), ("rot", 3), ("mir", 0)])]:
    out = f"avif_enc_{name}.avif"
    run("/usr/bin/avifenc", "-s", "8", "-d", "8", "-y", "444", *options, path("large.png"), path(out))
    transformed.append(f"{out} avif_enc_plain.avif {step_words(steps)}")

# A thumbnail listed before the picture, or after it: the picture is the
# primary item, whatever the order.
Image.fromarray(picture(32, 24)).save(path("thumb.png"))
run("/usr/bin/heif-enc", "-q", "90", path("thumb.png"), "-o", path("thumb.heic"))
run("/usr/bin/avifenc", "-s", "8", "-d", "8", "-y", "420", path("thumb.png"), path("thumb.avif"))
for kind, (tile, plain_name) in plain.items():
    thumb = coded_tile(path(f"thumb.{kind}"))
    for thumb_id in (1, 3):
        out = f"{kind}_thumbnail_{thumb_id}.{kind}"
        with_thumbnail(path(out), tile, thumb, thumb_id)
        transformed.append(f"{out} {plain_name}")

with open(path("transforms.txt"), "w") as f:
    f.write("\n".join(transformed) + "\n")
