"""Assembles HEIF files from pictures heif-enc or avifenc coded: grids of
tiles, pictures with crop, rotation and mirroring boxes in either order of
properties, and thumbnails listed before the picture, as phones and other
encoders write them and the two tools do not. Used by the HEIF tests and
the benchmark."""
import struct

# Coded item type -> its configuration property and the file's brands.
CODECS = {"hvc1": ("hvcC", b"heic", b"mif1heic"), "av01": ("av1C", b"avif", b"mif1avifmiaf")}


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


def coded_tile(path):
    """(configuration box, coded picture, width, height, item type) of the
    one coded item of a heif-enc or avifenc file (heif-enc puts small
    pictures inside a grid of one)."""
    data = open(path, "rb").read()
    ms, me = child(data, 0, len(data), "meta")
    ms += 4
    iinf_start, iinf_end = child(data, ms, me, "iinf")
    entry_bytes = 2 if data[iinf_start] == 0 else 4
    coded = [(struct.unpack(">H", data[s + 4:s + 6])[0], data[s + 8:s + 12].decode())
             for k, s, e in boxes(data, iinf_start + 4 + entry_bytes, iinf_end)
             if k == "infe" and data[s + 8:s + 12] in (b"hvc1", b"av01")]
    assert len(coded) == 1
    item, item_type = coded[0]
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
    config = CODECS[item_type][0]
    config_box = next(data[s - 8:e] for k, s, e in mine if k == config)
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

    payload = b""
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
                payload += data[base + offset:base + offset + length]
    return config_box, payload, width, height, item_type


def box(kind, payload):
    return struct.pack(">I4s", 8 + len(payload), kind.encode()) + payload


def full_box(kind, version, flags, payload):
    return box(kind, struct.pack(">I", version << 24 | flags) + payload)


def ispe(width, height):
    return full_box("ispe", 0, 0, struct.pack(">II", width, height))


def write_heif(out, items, primary, refs=(), item_type="hvc1"):
    """A HEIF file of `items`: (id, type, [property boxes in association
    order], data, hidden) each; `refs` are (kind, from, [to]) references."""
    props, assoc = [], b""
    for item_id, _, item_props, _, _ in items:
        indices = []
        for prop in item_props:
            if prop not in props:
                props.append(prop)
            indices.append(props.index(prop) + 1)
        assoc += struct.pack(">HB", item_id, len(indices)) + bytes(0x80 | i for i in indices)
    infe = [full_box("infe", 2, 1 if hidden else 0, struct.pack(">HH4s", i, 0, t.encode()) + b"\0")
            for i, t, _, _, hidden in items]
    iref = b""
    if refs:
        iref = full_box("iref", 0, 0, b"".join(
            box(kind, struct.pack(">HH", source, len(to)) + struct.pack(f">{len(to)}H", *to)) for kind, source, to in refs))
    iinf = full_box("iinf", 0, 0, struct.pack(">H", len(infe)) + b"".join(infe))
    ipma = full_box("ipma", 0, 0, struct.pack(">I", len(items)) + assoc)
    iprp = box("iprp", box("ipco", b"".join(props)) + ipma)
    hdlr = full_box("hdlr", 0, 0, struct.pack(">I4s12s", 0, b"pict", b"\0" * 12) + b"\0")
    pitm = full_box("pitm", 0, 0, struct.pack(">H", primary))
    _, major, compatible = CODECS[item_type]
    ftyp = box("ftyp", major + struct.pack(">I", 0) + compatible)

    def meta(first_offset):
        entries, offset = b"", first_offset
        for item_id, _, _, data, _ in items:
            entries += struct.pack(">HHHII", item_id, 0, 1, offset, len(data))
            offset += len(data)
        iloc = full_box("iloc", 0, 0, bytes([0x44, 0x00]) + struct.pack(">H", len(items)) + entries)
        return full_box("meta", 0, 0, hdlr + pitm + iloc + iinf + iref + iprp)

    size = len(ftyp) + len(meta(0)) + 8
    with open(out, "wb") as f:
        f.write(ftyp + meta(size) + box("mdat", b"".join(item[3] for item in items)))


def assemble(out, tiles, grid=None, transforms=b"", transforms_first=False):
    """A HEIF file of coded pictures. With `grid` (columns, rows, width,
    height) item 1 is a grid of the tiles, items 2.. the tiles row by row;
    without, item 1 is the one coded picture. `transforms` are clap, irot
    and imir boxes for item 1, associated after its other properties or,
    with `transforms_first`, before them."""
    item_type = tiles[0][4]
    tile_w, tile_h = tiles[0][2:4]
    extras = [transforms[s - 8:e] for _, s, e in boxes(transforms, 0, len(transforms))]

    def with_transforms(own):
        return extras + own if transforms_first else own + extras

    if not grid:
        config, data = tiles[0][0:2]
        write_heif(out, [(1, item_type, with_transforms([config, ispe(tile_w, tile_h)]), data, False)], 1,
                   item_type=item_type)
        return
    columns, rows, out_w, out_h = grid
    ids = list(range(2, 2 + len(tiles)))
    items = [(1, "grid", with_transforms([ispe(out_w, out_h)]),
              struct.pack(">BBBBHH", 0, 0, rows - 1, columns - 1, out_w, out_h), False)]
    items += [(i, item_type, [t[0], ispe(tile_w, tile_h)], t[1], True) for i, t in zip(ids, tiles)]
    write_heif(out, items, 1, refs=[("dimg", 1, ids)], item_type=item_type)


def with_thumbnail(out, picture, thumbnail, thumbnail_id):
    """The coded `picture` as the primary item 2 with `thumbnail` as item
    `thumbnail_id` (1 lists it first), its thmb reference pointing at 2."""
    def item(item_id, tile):
        return (item_id, tile[4], [tile[0], ispe(*tile[2:4])], tile[1], False)

    items = sorted([item(2, picture), item(thumbnail_id, thumbnail)])
    write_heif(out, items, 2, refs=[("thmb", thumbnail_id, [2])], item_type=picture[4])


def irot(degrees):
    return box("irot", bytes([degrees // 90]))


def imir(mode):
    return box("imir", bytes([mode]))


def clap(width_n, width_d, height_n, height_d, horizontal_n, horizontal_d, vertical_n, vertical_d):
    values = [width_n, width_d, height_n, height_d, horizontal_n, horizontal_d, vertical_n, vertical_d]
    return box("clap", b"".join(struct.pack(">i" if v < 0 else ">I", v) for v in values))
