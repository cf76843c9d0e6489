// The frame sizes of an AV1 stream, from its sequence and frame headers.
#include "codecs/heif_streams.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "codecs/bit_reader.h"
#include "codecs/byte_cursor.h"

namespace vrelk {
namespace {

enum ObuType { kSequenceHeaderObu = 1, kFrameHeaderObu = 3, kFrameObu = 6, kRedundantFrameHeaderObu = 7 };
enum FrameType { kKeyFrame = 0, kIntraOnlyFrame = 2, kSwitchFrame = 3 };
constexpr int kSelect = 2;  // screen content tools and integer motion chosen frame by frame
constexpr int kReferencesPerFrame = 7;
constexpr int kReferenceSlots = 8;

// The fields of a sequence header that its frame headers depend on, and
// the size of its frames.
struct SequenceHeader {
    bool reduced = false;  // reduced_still_picture_header
    bool decoderModel = false;
    bool equalPictureInterval = false;
    int presentationTimeBits = 0, removalTimeBits = 0;
    int operatingPoints = 1;
    std::array<std::uint32_t, 32> operatingPointIdc{};
    std::array<bool, 32> decoderModelFor{};
    int widthBits = 0, heightBits = 0;
    std::int64_t maxWidth = 0, maxHeight = 0;
    bool frameIds = false;
    int frameIdBits = 0, deltaFrameIdBits = 0;
    bool orderHint = false;
    int orderHintBits = 0;
    int screenContentTools = kSelect, integerMv = kSelect;
    bool deep = false;
};

void readOperatingPoints(BitReader& in, SequenceHeader& s)
{
    int delayBits = 0;
    if (in.flag()) {  // timing_info_present_flag
        in.skip(64);  // num_units_in_display_tick, time_scale
        s.equalPictureInterval = in.flag();
        if (s.equalPictureInterval)
            in.uvlc();
        s.decoderModel = in.flag();
        if (s.decoderModel) {
            delayBits = static_cast<int>(in.bits(5)) + 1;
            in.skip(32);  // num_units_in_decoding_tick
            s.removalTimeBits = static_cast<int>(in.bits(5)) + 1;
            s.presentationTimeBits = static_cast<int>(in.bits(5)) + 1;
        }
    }
    const bool initialDelay = in.flag();
    s.operatingPoints = static_cast<int>(in.bits(5)) + 1;
    for (std::size_t i = 0; i < static_cast<std::size_t>(s.operatingPoints); ++i) {
        s.operatingPointIdc[i] = in.bits(12);
        if (in.bits(5) > 7)  // seq_level_idx, then seq_tier
            in.bits(1);
        if (s.decoderModel) {
            s.decoderModelFor[i] = in.flag();
            if (s.decoderModelFor[i])
                in.skip(static_cast<std::size_t>(2 * delayBits + 1));
        }
        if (initialDelay && in.flag())
            in.bits(4);
    }
}

void readInterTools(BitReader& in, SequenceHeader& s)
{
    in.bits(4);  // interintra and masked compound, warped motion, dual filter
    s.orderHint = in.flag();
    if (s.orderHint)
        in.bits(2);  // jnt_comp, ref_frame_mvs
    s.screenContentTools = in.flag() ? kSelect : static_cast<int>(in.bits(1));
    if (s.screenContentTools > 0)
        s.integerMv = in.flag() ? kSelect : static_cast<int>(in.bits(1));
    if (s.orderHint)
        s.orderHintBits = static_cast<int>(in.bits(3)) + 1;
}

std::optional<SequenceHeader> readSequenceHeader(std::span<const std::uint8_t> payload)
{
    BitReader in(payload);
    SequenceHeader s;
    const std::uint32_t profile = in.bits(3);
    in.bits(1);  // still_picture
    s.reduced = in.flag();
    if (s.reduced)
        in.bits(5);  // seq_level_idx
    else
        readOperatingPoints(in, s);
    s.widthBits = static_cast<int>(in.bits(4)) + 1;
    s.heightBits = static_cast<int>(in.bits(4)) + 1;
    s.maxWidth = std::int64_t{in.bits(s.widthBits)} + 1;
    s.maxHeight = std::int64_t{in.bits(s.heightBits)} + 1;
    s.frameIds = !s.reduced && in.flag();
    if (s.frameIds) {
        s.deltaFrameIdBits = static_cast<int>(in.bits(4)) + 2;
        s.frameIdBits = static_cast<int>(in.bits(3)) + s.deltaFrameIdBits + 1;
    }
    in.bits(3);  // 128x128 superblocks, filter intra, intra edge filter
    if (!s.reduced)
        readInterTools(in, s);
    in.bits(3);  // superres, cdef, loop restoration
    s.deep = in.flag();  // high_bitdepth
    if (profile == 2 && s.deep)
        in.bits(1);  // twelve_bit
    if (!in.ok())
        return std::nullopt;
    return s;
}

// The size a frame header gives its frame: its own, the sequence's
// largest, or that of a frame decoded before it.
struct FrameSize {
    bool decoded = true;  // false: an earlier frame shown again
    bool ofReference = false;
    PictureSize size;
};

void skipRemovalTimes(BitReader& in, const SequenceHeader& s, int temporalId, int spatialId)
{
    for (std::size_t op = 0; op < static_cast<std::size_t>(s.operatingPoints); ++op) {
        const std::uint32_t idc = s.operatingPointIdc[op];
        const bool inLayers = (idc >> temporalId & 1) != 0 && (idc >> (spatialId + 8) & 1) != 0;
        if (s.decoderModelFor[op] && (idc == 0 || inLayers))
            in.bits(s.removalTimeBits);
    }
}

// Whether an inter frame takes its size from one of its references.
bool sizedByReference(BitReader& in, const SequenceHeader& s, bool overrideSize, bool errorResilient)
{
    const bool shortSignalling = s.orderHint && in.flag();
    if (shortSignalling)
        in.bits(6);  // last_frame_idx, gold_frame_idx
    for (int i = 0; i < kReferencesPerFrame; ++i) {
        if (!shortSignalling)
            in.bits(3);  // ref_frame_idx
        if (s.frameIds)
            in.bits(s.deltaFrameIdBits);
    }
    if (!overrideSize || errorResilient)
        return false;
    for (int i = 0; i < kReferencesPerFrame; ++i)
        if (in.flag())  // found_ref
            return true;
    return false;
}

// The uncompressed header up to the frame's size.
std::optional<FrameSize> readFrameHeader(std::span<const std::uint8_t> payload, const SequenceHeader& s,
                                         int temporalId, int spatialId)
{
    BitReader in(payload);
    int type = kKeyFrame;
    bool show = true;
    bool errorResilient = true;
    if (!s.reduced) {
        if (in.flag())  // show_existing_frame
            return in.ok() ? std::optional<FrameSize>(FrameSize{false, false, {}}) : std::nullopt;
        type = static_cast<int>(in.bits(2));
        show = in.flag();
        if (show && s.decoderModel && !s.equalPictureInterval)
            in.bits(s.presentationTimeBits);
        if (!show)
            in.bits(1);  // showable_frame
        errorResilient = type == kSwitchFrame || (type == kKeyFrame && show) || in.flag();
    }
    const bool intra = type == kKeyFrame || type == kIntraOnlyFrame;
    in.bits(1);  // disable_cdf_update
    const bool screenContent = s.screenContentTools == kSelect ? in.flag() : s.screenContentTools != 0;
    if (screenContent && s.integerMv == kSelect)
        in.bits(1);  // force_integer_mv
    if (s.frameIds)
        in.bits(s.frameIdBits);
    const bool overrideSize = type == kSwitchFrame || (!s.reduced && in.flag());
    in.bits(s.orderHintBits);
    if (!intra && !errorResilient)
        in.bits(3);  // primary_ref_frame
    if (s.decoderModel && in.flag())
        skipRemovalTimes(in, s, temporalId, spatialId);
    const bool refreshAll = type == kSwitchFrame || (type == kKeyFrame && show);
    const std::uint32_t refresh = refreshAll ? 0xFF : in.bits(8);
    if ((!intra || refresh != 0xFF) && errorResilient && s.orderHint)
        in.skip(static_cast<std::size_t>(kReferenceSlots * s.orderHintBits));
    FrameSize frame{true, false, {s.maxWidth, s.maxHeight}};
    frame.ofReference = !intra && sizedByReference(in, s, overrideSize, errorResilient);
    if (overrideSize && !frame.ofReference) {
        frame.size.width = std::int64_t{in.bits(s.widthBits)} + 1;
        frame.size.height = std::int64_t{in.bits(s.heightBits)} + 1;
    }
    if (!in.ok())
        return std::nullopt;
    return frame;
}

struct Obu {
    int type = 0;
    int temporalId = 0, spatialId = 0;
    bool sized = false;
    std::span<const std::uint8_t> payload;
};

std::optional<std::size_t> leb128(ByteCursor& in)
{
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        const std::optional<std::uint8_t> byte = in.u8();
        if (!byte)
            return std::nullopt;
        value |= std::uint64_t{*byte & 0x7Fu} << (7 * i);
        if ((*byte & 0x80) == 0)
            return value <= 0xFFFFFFFF ? std::optional<std::size_t>(static_cast<std::size_t>(value)) : std::nullopt;
    }
    return std::nullopt;
}

// The next OBU as dav1d takes it: one without a size runs to the end.
Result<Obu> nextObu(ByteCursor& in)
{
    const std::optional<std::uint8_t> header = in.u8();
    if (!header || (*header & 0x80) != 0)
        return CodecError::damaged;
    Obu obu;
    obu.type = *header >> 3 & 15;
    obu.sized = (*header & 2) != 0;
    if ((*header & 4) != 0) {
        const std::optional<std::uint8_t> extension = in.u8();
        if (!extension)
            return CodecError::truncated;
        obu.temporalId = *extension >> 5;
        obu.spatialId = *extension >> 3 & 3;
    }
    const std::optional<std::size_t> size = obu.sized ? leb128(in) : std::optional<std::size_t>(in.left());
    if (!size)
        return CodecError::damaged;
    const auto payload = in.take(*size);
    if (!payload)
        return CodecError::truncated;
    obu.payload = *payload;
    return obu;
}

class Av1Scan {
public:
    explicit Av1Scan(PictureSize shown) : shown_(shown) {}

    Status obus(ByteCursor in);
    Result<StreamPictures> result() const;

private:
    Status frame(const Obu& obu);

    PictureSize shown_;
    std::optional<SequenceHeader> sequence_;
    StreamPictures pictures_;
    bool showsItem_ = false;
};

Status Av1Scan::obus(ByteCursor in)
{
    while (!in.atEnd()) {
        Result<Obu> obu = nextObu(in);
        if (!obu)
            return obu.error();
        if (obu->type == kSequenceHeaderObu) {
            sequence_ = readSequenceHeader(obu->payload);
            if (!sequence_)
                return CodecError::damaged;
        } else if (obu->type == kFrameHeaderObu || obu->type == kFrameObu || obu->type == kRedundantFrameHeaderObu) {
            if (Status taken = frame(*obu); !taken)
                return taken;
        }
    }
    return {};
}

// Counts each frame as a picture of its own, though dav1d may reuse one.
Status Av1Scan::frame(const Obu& obu)
{
    const std::optional<FrameSize> frame =
        sequence_ ? readFrameHeader(obu.payload, *sequence_, obu.temporalId, obu.spatialId) : std::nullopt;
    if (!frame)
        return CodecError::damaged;
    if (!frame->decoded)
        return {};
    const PictureSize size = frame->ofReference ? PictureSize{pictures_.width, pictures_.height} : frame->size;
    if (size.width > shown_.width || size.height > shown_.height)
        return CodecError::damaged;
    showsItem_ = showsItem_ || (size.width == shown_.width && size.height == shown_.height);
    pictures_.width = std::max(pictures_.width, size.width);
    pictures_.height = std::max(pictures_.height, size.height);
    pictures_.pixels += static_cast<std::uint64_t>(size.width) * static_cast<std::uint64_t>(size.height);
    pictures_.deep = pictures_.deep || sequence_->deep;
    return {};
}

Result<StreamPictures> Av1Scan::result() const
{
    if (!showsItem_)
        return CodecError::damaged;
    return pictures_;
}

// True when the configuration OBUs each state their size and end where
// the property ends: dav1d, which reads them and the data as one run,
// then reads the data's OBUs from its start.
bool endsOnItsOwn(std::span<const std::uint8_t> config)
{
    ByteCursor in(config);
    while (!in.atEnd()) {
        Result<Obu> obu = nextObu(in);
        if (!obu || !obu->sized)
            return false;
    }
    return true;
}

}  // namespace

Result<StreamPictures> CheckAv1Stream(std::span<const std::uint8_t> av1C, std::span<const std::uint8_t> data,
                                      PictureSize shown)
{
    if (av1C.size() < 4)
        return CodecError::damaged;
    const std::span<const std::uint8_t> config = av1C.subspan(4);
    Av1Scan scan(shown);
    if (endsOnItsOwn(config)) {
        if (Status read = scan.obus(ByteCursor(config)); !read)
            return read.error();
        if (Status read = scan.obus(ByteCursor(data)); !read)
            return read.error();
        return scan.result();
    }
    std::vector<std::uint8_t> joined(config.begin(), config.end());
    joined.insert(joined.end(), data.begin(), data.end());
    if (Status read = scan.obus(ByteCursor(joined)); !read)
        return read.error();
    return scan.result();
}

}  // namespace vrelk
