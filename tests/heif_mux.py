"""Assembles HEIC files from pictures heif-enc coded: grids of tiles and
pictures with rotation and mirroring boxes, as phones write them and
heif-enc does not. Used by the HEIF tests and the benchmark."""
import struct


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
