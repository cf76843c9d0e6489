#!/usr/bin/python3
"""Writes HEIC and AVIF files whose coded streams disagree with their
container, made from pictures heif-enc and avifenc coded: streams that
state a larger (or smaller) picture than their item's ispe, in the hvcC or
av1C property or in the item's own data; grids whose tiles do not make
their picture; and pictures a decoder would fill with pictures of its own.

hostile.txt gets a line "NAME REASON" per file: the reader's refusal,
damaged, truncated or unsupported. equivalent.txt gets "NAME PLAIN" for
files that code PLAIN's picture in another legitimate form, or its top
left corner through a conformance window, and must decode to it.

    heif_hostile.py <folder>
"""
import os
import subprocess
import sys

import numpy as np
from PIL import Image

from heif_mux import assemble, box, coded_tile, full_box, ispe, with_thumbnail, write_heif
from heif_streams import (FRAME, SEQUENCE_HEADER, data_nal_units, data_of,
                          hevc_sps, hevc_with_sps, nal_type, obu_bytes, obus, rewrite_sequence, rewrite_sps,
                          sequence_layout, sized_key_frame, sps_layout, unescape)

folder = sys.argv[1]
hostile, equivalent = [], []


def path(name):
    return os.path.join(folder, name)


def coded(name, w, h, tool):
    """The coded tile of a w x h picture, coded by heif-enc or avifenc."""
    y, x = np.mgrid[0:h, 0:w]
    rgb = np.stack([x * 255 // max(w - 1, 1), y * 255 // max(h - 1, 1), (x * 7 + y * 3) % 256], -1).astype(np.uint8)
    Image.fromarray(rgb).save(path(name + ".png"))
    if tool == "heic":
        command = ["/usr/bin/heif-enc", "-q", "80", path(name + ".png"), "-o", path(name + ".src.heic")]
    else:
        command = ["/usr/bin/avifenc", "-s", "8", "-d", "8", "-y", "420", path(name + ".png"), path(name + ".src.avif")]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return coded_tile(path(f"{name}.src.{tool}"))


def write(name, reason, tiles, grid=None):
    assemble(path(name), tiles, grid=grid)
    hostile.append(f"{name} {reason}")


# --- HEVC: a 64x64 picture, and 2x2 tiles of 64x64
heic = coded("heic64", 64, 64, "heic")
config, data, w, h, kind = heic
assert (w, h) == (64, 64)
sps = hevc_sps(config)
layout = sps_layout(unescape(sps[2:]))
assert layout["window"] is None


def with_sps(tile, width, height, window=None):
    return (hevc_with_sps(tile[0], rewrite_sps(hevc_sps(tile[0]), width, height, window)),) + tile[1:]


write("heic_sps_16384.heic", "damaged", [with_sps(heic, 16384, 16384)])
write("heic_sps_24000.heic", "damaged", [with_sps(heic, 24000, 24000)])
write("heic_sps_wide.heic", "damaged", [with_sps(heic, 16384, 64)])
# A second sequence parameter set in the item's data replaces the hvcC's.
units = data_nal_units(data)
write("heic_data_sps_16384.heic", "damaged",
      [(config, data_of([rewrite_sps(sps, 16384, 16384)] + units), w, h, kind)])
# Smaller than the item: libheif would paste it into a larger picture.
write("heic_sps_smaller.heic", "damaged", [with_sps(heic, 32, 32)])
# The 64x64 picture cropped to 60x60 by its conformance window: padding
# to whole coding tree blocks, as hardware encoders write it. A block more
# of padding is refused, as is a window that crops to another size than
# the ispe's.
ctb = layout["ctb"]
assemble(path("heic_padded.heic"), [(with_sps(heic, 64, 64, [0, 2, 0, 2])[0], data, 60, 60, kind)])
equivalent.append("heic_padded.heic heic_plain.heic")
write("heic_padded_too_far.heic", "damaged", [(with_sps(heic, 64 + ctb, 64, [0, 2 + ctb // 2, 0, 2])[0], data, 60, 60, kind)])
write("heic_window_mismatch.heic", "damaged", [with_sps(heic, 64, 64, [0, 2, 0, 0])])
# The hvcC's SPS repeated in the data, as some encoders write it.
equivalent.append("heic_sps_in_data.heic heic_plain.heic")
assemble(path("heic_plain.heic"), [heic])
assemble(path("heic_sps_in_data.heic"), [(config, data_of([sps] + units), w, h, kind)])


def with_slice_type(tile, nal_kind):
    slices = [bytes([u[0] & 0x81 | nal_kind << 1]) + u[1:] for u in data_nal_units(tile[1])]
    return (tile[0], data_of(slices)) + tile[2:]


assert [nal_type(u) for u in units] in ([19], [20])
# A clean random access picture, as the pictures of a collection cut from
# one intra stream begin, is read (its slices, written for an IDR picture,
# decode to other pixels; the test checks only that it is read).
assemble(path("heic_cra.heic"), [with_slice_type(heic, 21)])
# A thumbnail is not decoded: one whose stream lies does not stop the picture.
with_thumbnail(path("heic_lying_thumbnail.heic"), heic, with_sps(heic, 16384, 16384), 1)
equivalent.append("heic_lying_thumbnail.heic heic_plain.heic")
write("heic_trail.heic", "damaged", [with_slice_type(heic, 1)])
write("heic_two_pictures.heic", "damaged", [(config, data + data, w, h, kind)])
write("heic_no_picture.heic", "damaged", [(config, b"", w, h, kind)])
# libheif reads 4-byte lengths whatever the hvcC says.
write("heic_short_lengths.heic", "truncated", [(config, data_of(units, 2), w, h, kind)])

tiles = [coded(f"heic_tile{i}", 64, 64, "heic") for i in range(4)]
write("heic_grid_tiles_larger.heic", "damaged", [with_sps(t, 2048, 2048) for t in tiles], grid=(2, 2, 128, 128))
write("heic_grid_25000.heic", "damaged", tiles[:1], grid=(1, 1, 25000, 25000))
write("heic_grid_short.heic", "damaged", tiles, grid=(2, 2, 129, 128))
write("heic_grid_three_tiles.heic", "damaged", tiles[:3], grid=(2, 2, 128, 128))


def grid_item(columns, rows, out_w, out_h, size):
    data = bytes([0, 0, rows - 1, columns - 1]) + out_w.to_bytes(2, "big") + out_h.to_bytes(2, "big")
    return (1, "grid", [ispe(*size)], data, False)


# A grid whose data states another picture than its ispe.
write_heif(path("heic_grid_ispe_mismatch.heic"),
           [grid_item(2, 2, 128, 128, (96, 64))] + [(i + 2, "hvc1", [t[0], ispe(64, 64)], t[1], True)
                                                    for i, t in enumerate(tiles)], 1, refs=[("dimg", 1, [2, 3, 4, 5])])
hostile.append("heic_grid_ispe_mismatch.heic damaged")

# An alpha plane larger than the picture it belongs to.
alpha_type = full_box("auxC", 0, 0, b"urn:mpeg:hevc:2015:auxid:1\0")
large = coded("heic_large", 128, 64, "heic")
write_heif(path("heic_alpha_larger.heic"),
           [(1, "hvc1", [config, ispe(64, 64)], data, False),
            (2, "hvc1", [large[0], ispe(128, 64), alpha_type], large[1], True)], 1, refs=[("auxl", 2, [1])])
hostile.append("heic_alpha_larger.heic damaged")
# A derived picture other than a grid: an identity derivation shows the
# picture it names; one that states another size is damaged.
write_heif(path("heic_identity.heic"),
           [(1, "iden", [ispe(64, 64)], b"", False), (2, "hvc1", [config, ispe(64, 64)], data, True)], 1,
           refs=[("dimg", 1, [2])])
equivalent.append("heic_identity.heic heic_plain.heic")
write_heif(path("heic_identity_larger.heic"),
           [(1, "iden", [ispe(4096, 4096)], b"", False), (2, "hvc1", [config, ispe(64, 64)], data, True)], 1,
           refs=[("dimg", 1, [2])])
hostile.append("heic_identity_larger.heic damaged")

# --- AV1: a 96x64 picture
avif = coded("avif96", 96, 64, "avif")
av1c, av1_data, aw, ah, akind = avif
assert (aw, ah) == (96, 64) and len(av1c) == 12
parts = obus(av1_data)
sequence = next(p for t, _, p in parts if t == SEQUENCE_HEADER)
assert sequence_layout(sequence)["width"] == 96


def av1_data_with(replace):
    """The item's OBUs, each (type, header, payload) passed through replace."""
    return b"".join(obu_bytes(*replace(t, hd, p)) for t, hd, p in parts)


def with_sequence(payload):
    return av1_data_with(lambda t, hd, p: (hd, payload if t == SEQUENCE_HEADER else p))


write("avif_sequence_16384.avif", "damaged", [(av1c, with_sequence(rewrite_sequence(sequence, 16384, 16384)), aw, ah, akind)])
write("avif_sequence_smaller.avif", "damaged", [(av1c, with_sequence(rewrite_sequence(sequence, 48, 32)), aw, ah, akind)])
# The sequence header in the av1C's configuration OBUs, as newer encoders
# write it: there only, stating 16384x16384, or in both places as it is.
without_sequence = b"".join(obu_bytes(hd, p) for t, hd, p in parts if t != SEQUENCE_HEADER)
header = [hd for t, hd, p in parts if t == SEQUENCE_HEADER][0]


def av1c_with(payload):
    return box("av1C", av1c[8:12] + obu_bytes(header, payload))


write("avif_config_16384.avif", "damaged",
      [(av1c_with(rewrite_sequence(sequence, 16384, 16384)), without_sequence, aw, ah, akind)])
assemble(path("avif_plain.avif"), [avif])
assemble(path("avif_config_obus.avif"), [(av1c_with(sequence), av1_data, aw, ah, akind)])
equivalent.append("avif_config_obus.avif avif_plain.avif")


# A full sequence header, as encoders of sequences write one, whose frame
# states its own size: the same size decodes as before; 16384x16384 must
# be refused though the sequence header says 96x64.
def full_with_frame(width, height):
    frame = next(p for t, _, p in parts if t == FRAME)
    replaced = dict(zip((SEQUENCE_HEADER, FRAME), sized_key_frame(sequence, frame, width, height)))
    return (av1c, av1_data_with(lambda t, hd, p: (hd, replaced.get(t, p))), aw, ah, akind)


assemble(path("avif_frame_size.avif"), [full_with_frame(96, 64)])
equivalent.append("avif_frame_size.avif avif_plain.avif")
write("avif_frame_16384.avif", "damaged", [full_with_frame(16384, 16384)])
write("avif_frame_larger.avif", "damaged", [full_with_frame(97, 64)])

avif_tiles = [coded(f"avif_tile{i}", 64, 64, "avif") for i in range(4)]


def av1_tile_with_size(tile, width, height):
    replaced = b"".join(obu_bytes(hd, rewrite_sequence(p, width, height) if t == SEQUENCE_HEADER else p)
                        for t, hd, p in obus(tile[1]))
    return (tile[0], replaced) + tile[2:]


write("avif_grid_tiles_larger.avif", "damaged", [av1_tile_with_size(t, 2048, 2048) for t in avif_tiles],
      grid=(2, 2, 128, 128))
write("avif_grid_25000.avif", "damaged", avif_tiles[:1], grid=(1, 1, 25000, 25000))

with open(path("hostile.txt"), "w") as f:
    f.write("\n".join(hostile) + "\n")
with open(path("equivalent.txt"), "w") as f:
    f.write("\n".join(equivalent) + "\n")
