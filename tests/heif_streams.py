"""Reads and rewrites the picture size inside HEVC and AV1 streams, for
the HEIF tests' hostile files: an HEVC sequence parameter set or an AV1
sequence header made to state another size than the container does, and
an AV1 key frame that states its own size.

The NAL units and OBUs are the ones heif_mux.coded_tile returns: an hvcC
or av1C property box and the item's data."""
import struct


class Bits:
    """A big-endian bit reader over bytes."""

    def __init__(self, data, position=0):
        self.data, self.position = data, position

    def u(self, n):
        value = 0
        for _ in range(n):
            byte = self.data[self.position >> 3]
            value = value << 1 | (byte >> (7 - (self.position & 7))) & 1
            self.position += 1
        return value

    def ue(self):
        zeros = 0
        while self.u(1) == 0:
            zeros += 1
        return (1 << zeros) - 1 + self.u(zeros)

    def leb128(self):
        value = 0
        for i in range(8):
            byte = self.u(8)
            value |= (byte & 0x7F) << (7 * i)
            if byte < 0x80:
                break
        return value


class Writer:
    def __init__(self):
        self.bits = []

    def u(self, n, value):
        self.bits += [(value >> (n - 1 - i)) & 1 for i in range(n)]

    def ue(self, value):
        n = (value + 1).bit_length()
        self.u(n - 1, 0)
        self.u(n, value + 1)

    def copy(self, data, start, end):
        reader = Bits(data, start)
        self.bits += [reader.u(1) for _ in range(end - start)]

    def bytes(self):
        assert len(self.bits) % 8 == 0
        return bytes(int("".join(map(str, self.bits[i:i + 8])), 2) for i in range(0, len(self.bits), 8))


def trailing_bits_start(data):
    """Bit position of the stop bit that ends an RBSP or an OBU."""
    last = max(i for i, b in enumerate(data) if b)
    return last * 8 + 7 - (data[last] & -data[last]).bit_length() + 1


def with_trailing_bits(writer):
    writer.u(1, 1)
    while len(writer.bits) % 8:
        writer.u(1, 0)
    return writer.bytes()


# --- HEVC

def unescape(payload):
    out, zeros = bytearray(), 0
    for b in payload:
        if zeros >= 2 and b == 3:
            zeros = 0
            continue
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


def escape(rbsp):
    out, zeros = bytearray(), 0
    for b in rbsp:
        if zeros >= 2 and b <= 3:
            out.append(3)
            zeros = 0
        out.append(b)
        zeros = zeros + 1 if b == 0 else 0
    return bytes(out)


def sps_layout(rbsp):
    """Fields of an SPS RBSP with the bit positions of its picture size."""
    r = Bits(rbsp)
    r.u(4)
    sub_layers = r.u(3)
    r.u(1)
    r.u(96)  # the general profile, tier and level
    present = [(r.u(1), r.u(1)) for _ in range(sub_layers)]
    if sub_layers:
        r.u(2 * (8 - sub_layers))
    for profile, level in present:
        r.u(88 * profile + 8 * level)
    r.ue()
    chroma = r.ue()
    if chroma == 3:
        r.u(1)
    size_at = r.position
    width, height = r.ue(), r.ue()
    window = [r.ue() for _ in range(4)] if r.u(1) else None
    after_window = r.position
    r.ue(), r.ue(), r.ue()  # bit depths, log2_max_pic_order_cnt_lsb_minus4
    for _ in range(sub_layers + 1 if r.u(1) else 1):
        r.ue(), r.ue(), r.ue()
    smallest = r.ue() + 3
    ctb = 1 << (smallest + r.ue())
    return {"chroma": chroma, "width": width, "height": height, "window": window, "ctb": ctb,
            "size_at": size_at, "after_window": after_window}


def rewrite_sps(nal, width, height, window=None):
    """The SPS NAL unit stating width x height, with the conformance window
    (left, right, top, bottom in chroma units) or none."""
    rbsp = unescape(nal[2:])
    layout = sps_layout(rbsp)
    w = Writer()
    w.copy(rbsp, 0, layout["size_at"])
    w.ue(width)
    w.ue(height)
    w.u(1, window is not None)
    for offset in window or []:
        w.ue(offset)
    w.copy(rbsp, layout["after_window"], trailing_bits_start(rbsp))
    return nal[:2] + escape(with_trailing_bits(w))


def nal_type(nal):
    return nal[0] >> 1 & 0x3F


SPS = 33


def hvcc_units(config):
    """(box head up to the arrays, length size, [(array byte, [NAL units])])."""
    body = config[8:]
    arrays, pos = [], 23
    for _ in range(body[22]):
        kind, count = body[pos], struct.unpack(">H", body[pos + 1:pos + 3])[0]
        pos += 3
        units = []
        for _ in range(count):
            size = struct.unpack(">H", body[pos:pos + 2])[0]
            units.append(body[pos + 2:pos + 2 + size])
            pos += 2 + size
        arrays.append((kind, units))
    return body[:22], (body[21] & 3) + 1, arrays


def hvcc_box(head, arrays):
    body = head + bytes([len(arrays)])
    for kind, units in arrays:
        body += bytes([kind]) + struct.pack(">H", len(units))
        body += b"".join(struct.pack(">H", len(u)) + u for u in units)
    return struct.pack(">I4s", 8 + len(body), b"hvcC") + body


def hevc_sps(config):
    return next(u for _, units in hvcc_units(config)[2] for u in units if nal_type(u) == SPS)


def hevc_with_sps(config, sps):
    """The hvcC box with its SPS replaced."""
    head, _, arrays = hvcc_units(config)
    return hvcc_box(head, [(kind, [sps if nal_type(u) == SPS else u for u in units]) for kind, units in arrays])


def data_nal_units(data, length_size=4):
    pos, units = 0, []
    while pos < len(data):
        size = int.from_bytes(data[pos:pos + length_size], "big")
        units.append(data[pos + length_size:pos + length_size + size])
        pos += length_size + size
    return units


def data_of(units, length_size=4):
    return b"".join(len(u).to_bytes(length_size, "big") + u for u in units)


# --- AV1

SEQUENCE_HEADER, FRAME_HEADER, FRAME = 1, 3, 6


def obus(data):
    """(type, header bytes, payload) of each OBU; all carry their size."""
    pos, out = 0, []
    while pos < len(data):
        header = data[pos]
        extension = header >> 2 & 1
        assert header & 2, "an OBU without its size"
        r = Bits(data, (pos + 1 + extension) * 8)
        size = r.leb128()
        start = r.position // 8
        out.append((header >> 3 & 15, data[pos:pos + 1 + extension], data[start:start + size]))
        pos = start + size
    return out


def obu_bytes(header, payload):
    size = bytearray()
    n = len(payload)
    while True:
        size.append(n & 0x7F | (0x80 if n > 0x7F else 0))
        n >>= 7
        if not n:
            break
    return header + bytes(size) + payload


def sequence_layout(payload):
    """The fields of a reduced still-picture sequence header that these
    rewrites move, with their bit positions."""
    r = Bits(payload)
    profile = r.u(3)
    r.u(1)
    reduced = r.u(1)
    assert reduced, "avifenc writes reduced still-picture headers"
    level_at = r.position
    r.u(5)
    bits_at = r.position
    width_bits, height_bits = r.u(4) + 1, r.u(4) + 1
    max_width, max_height = r.u(width_bits) + 1, r.u(height_bits) + 1
    return {"profile": profile, "level_at": level_at, "bits_at": bits_at, "after_size": r.position,
            "width": max_width, "height": max_height, "width_bits": width_bits}


def rewrite_sequence(payload, width, height, size_bits=16):
    """The sequence header stating a largest frame of width x height."""
    layout = sequence_layout(payload)
    w = Writer()
    w.copy(payload, 0, layout["bits_at"])
    w.u(4, size_bits - 1)
    w.u(4, size_bits - 1)
    w.u(size_bits, width - 1)
    w.u(size_bits, height - 1)
    w.copy(payload, layout["after_size"], trailing_bits_start(payload))
    return with_trailing_bits(w)


def full_sequence(payload, id_bits):
    """The reduced sequence header written out in full, as encoders of
    sequences write one (the same tools, no order hints), with 16-bit size
    fields and frame ids of `id_bits` (3 to 10)."""
    layout = sequence_layout(payload)
    level = Bits(payload, layout["level_at"]).u(5)
    w = Writer()
    w.copy(payload, 0, 4)
    w.u(1, 0)  # reduced_still_picture_header
    w.u(1, 0)  # timing_info_present_flag
    w.u(1, 0)  # initial_display_delay_present_flag
    w.u(5, 0)  # operating_points_cnt_minus_1
    w.u(12, 0)  # operating_point_idc
    w.u(5, level)
    if level > 7:
        w.u(1, 0)  # seq_tier
    w.u(4, 15)
    w.u(4, 15)
    w.u(16, layout["width"] - 1)
    w.u(16, layout["height"] - 1)
    w.u(1, 1)  # frame_id_numbers_present_flag
    w.u(4, 0)  # delta_frame_id_length_minus_2
    w.u(3, id_bits - 3)  # additional_frame_id_length_minus_1
    r = Bits(payload, layout["after_size"])
    w.u(3, r.u(3))  # 128x128 superblocks, filter intra, intra edge filter
    w.u(5, 0)  # interintra, masked compound, warped motion, dual filter, order hints
    w.u(1, 1)  # seq_choose_screen_content_tools
    w.u(1, 1)  # seq_choose_integer_mv
    w.copy(payload, r.position, trailing_bits_start(payload))
    return with_trailing_bits(w)


def sized_key_frame(sequence, frame, width, height):
    """The sequence header and frame OBU payloads of a reduced still
    picture rewritten as a full sequence header and a key frame that
    states width x height itself. The frame ids' length makes the bits
    added a whole number of bytes, so that the rest of the header and the
    tile data keep their places."""
    superres = Bits(sequence, sequence_layout(sequence)["after_size"] + 3).u(1)
    r = Bits(frame)
    keep_cdfs = r.u(1) == 0  # disable_cdf_update
    screen_content = r.u(1)
    if screen_content:
        r.u(1)  # force_integer_mv
    before_size = r.position
    if superres and r.u(1):  # use_superres
        r.u(3)
    if r.u(1):  # render_and_frame_size_different
        r.u(32)
    if screen_content and not (superres and Bits(frame, before_size).u(1)):
        r.u(1)  # allow_intrabc
    # 4 bits before, frame id, 33 for the size, and disable_frame_end_update_cdf,
    # which a full header states when the frame updates its probabilities.
    id_bits = 10 if keep_cdfs else 3
    w = Writer()
    w.u(1, 0)  # show_existing_frame
    w.u(2, 0)  # frame_type: key
    w.u(1, 1)  # show_frame
    w.copy(frame, 0, before_size)
    w.u(id_bits, 0)  # current_frame_id
    w.u(1, 1)  # frame_size_override_flag
    w.u(16, width - 1)
    w.u(16, height - 1)
    w.copy(frame, before_size, r.position)
    if keep_cdfs:
        w.u(1, 1)  # disable_frame_end_update_cdf, as a reduced header implies
    w.copy(frame, r.position, 8 * len(frame))
    return full_sequence(sequence, id_bits), w.bytes()
