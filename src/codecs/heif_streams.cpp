#include "codecs/heif_streams.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "codecs/bit_reader.h"
#include "codecs/byte_cursor.h"

namespace vrelk {
namespace {

std::int64_t roundUp(std::int64_t value, int log2)
{
    const std::int64_t unit = std::int64_t{1} << log2;
    return (value + unit - 1) / unit * unit;
}

constexpr int kSpsType = 33;
constexpr int kFirstNonSliceType = 32;
constexpr int kIdrWithLeadingType = 19, kIdrType = 20;
constexpr int kFirstRandomAccessType = 16, kLastRandomAccessType = 21;
// The fields read from a parameter set lie within its first bytes however
// the encoder chose its values; a longer read means a damaged one.
constexpr std::size_t kSpsBytesRead = 512;

// The payload of a NAL unit without the bytes that keep it from looking
// like a start code (00 00 03 stands for 00 00), at most `most` bytes.
std::vector<std::uint8_t> rbspOf(std::span<const std::uint8_t> payload, std::size_t most)
{
    std::vector<std::uint8_t> rbsp;
    int zeros = 0;
    for (std::size_t i = 0; i < payload.size() && rbsp.size() < most; ++i) {
        if (zeros >= 2 && payload[i] == 3) {
            zeros = 0;
            continue;
        }
        rbsp.push_back(payload[i]);
        zeros = payload[i] == 0 ? zeros + 1 : 0;
    }
    return rbsp;
}

struct SequenceParameters {
    std::int64_t width = 0, height = 0;  // pic_width/height_in_luma_samples
    std::int64_t shownWidth = 0, shownHeight = 0;  // inside the conformance window
    int treeBlockLog2 = 0;  // of the coding tree block, the most an encoder pads the size to
    bool deep = false;
};

void skipProfileTierLevel(BitReader& in, int subLayers)
{
    in.skip(96);  // the general profile, tier and level
    std::array<bool, 8> profile{}, level{};
    for (int i = 0; i < subLayers; ++i) {
        profile[static_cast<std::size_t>(i)] = in.flag();
        level[static_cast<std::size_t>(i)] = in.flag();
    }
    if (subLayers > 0)
        in.skip(static_cast<std::size_t>(2 * (8 - subLayers)));
    for (int i = 0; i < subLayers; ++i)
        in.skip((profile[static_cast<std::size_t>(i)] ? 88u : 0u) + (level[static_cast<std::size_t>(i)] ? 8u : 0u));
}

// Luma samples per unit of the conformance window, by chroma_format_idc.
struct CropUnit {
    int x, y;
};
constexpr std::array<CropUnit, 4> kCropUnits{{{1, 1}, {2, 2}, {2, 1}, {1, 1}}};

std::optional<SequenceParameters> readSps(std::span<const std::uint8_t> nal)
{
    const std::vector<std::uint8_t> rbsp = rbspOf(nal.subspan(2), kSpsBytesRead);
    BitReader in(rbsp);
    in.bits(4);  // sps_video_parameter_set_id
    const int subLayers = static_cast<int>(in.bits(3));
    in.bits(1);
    skipProfileTierLevel(in, subLayers);
    in.expGolomb();  // sps_seq_parameter_set_id
    const std::uint32_t chroma = in.expGolomb();
    const bool separatePlanes = chroma == 3 && in.flag();
    SequenceParameters sps;
    sps.width = in.expGolomb();
    sps.height = in.expGolomb();
    std::array<std::int64_t, 4> window{};  // left, right, top, bottom
    if (in.flag())
        for (std::int64_t& offset : window)
            offset = in.expGolomb();
    const std::uint32_t lumaDepth = in.expGolomb();
    const std::uint32_t chromaDepth = in.expGolomb();
    in.expGolomb();  // log2_max_pic_order_cnt_lsb_minus4
    const bool everySubLayer = in.flag();
    for (int i = everySubLayer ? 0 : subLayers; i <= subLayers; ++i)
        for (int field = 0; field < 3; ++field)
            in.expGolomb();  // picture buffering, reordering and latency
    const std::uint32_t smallestBlock = in.expGolomb();
    const std::uint32_t blockRange = in.expGolomb();
    // Coding tree blocks are at most 64 luma samples square.
    if (!in.ok() || chroma > 3 || smallestBlock > 3 || blockRange > 3 - smallestBlock)
        return std::nullopt;
    const CropUnit unit = separatePlanes ? CropUnit{1, 1} : kCropUnits[chroma];
    sps.shownWidth = sps.width - unit.x * (window[0] + window[1]);
    sps.shownHeight = sps.height - unit.y * (window[2] + window[3]);
    sps.treeBlockLog2 = static_cast<int>(smallestBlock + blockRange) + 3;
    sps.deep = lumaDepth > 0 || chromaDepth > 0;
    return sps;
}

// Shown at the item's size, and coded larger only by padding the
// conformance window crops: HEVC codes whole coding blocks, and hardware
// encoders pad to whole coding tree blocks (1088 lines for 1080).
bool fitsItem(const SequenceParameters& sps, PictureSize shown)
{
    return sps.shownWidth == shown.width && sps.shownHeight == shown.height &&
           sps.width <= roundUp(shown.width, sps.treeBlockLog2) &&
           sps.height <= roundUp(shown.height, sps.treeBlockLog2);
}

class HevcScan {
public:
    explicit HevcScan(PictureSize shown) : shown_(shown) {}

    Status unit(std::span<const std::uint8_t> nal);
    Result<StreamPictures> result() const;

private:
    PictureSize shown_;
    StreamPictures pictures_;
    int pictureCount_ = 0;
    bool standIns_ = false;  // a clean random access picture, whose leading pictures libde265 makes up
};

Status HevcScan::unit(std::span<const std::uint8_t> nal)
{
    if (nal.size() < 2 || (nal[0] & 0x80) != 0)
        return CodecError::damaged;
    const int type = nal[0] >> 1 & 0x3F;
    const int layer = (nal[0] & 1) << 5 | nal[1] >> 3;
    if (layer != 0)
        return {};  // libde265 passes over the units of other layers
    if (type == kSpsType) {
        const std::optional<SequenceParameters> sps = readSps(nal);
        if (!sps || !fitsItem(*sps, shown_))
            return CodecError::damaged;
        pictures_.width = std::max(pictures_.width, sps->width);
        pictures_.height = std::max(pictures_.height, sps->height);
        pictures_.deep = pictures_.deep || sps->deep;
        return {};
    }
    if (type >= kFirstNonSliceType)
        return {};
    // A slice; its first bit says whether it begins a picture.
    if (nal.size() < 3)
        return CodecError::damaged;
    if ((nal[2] & 0x80) == 0)
        return {};
    ++pictureCount_;
    if (type == kIdrWithLeadingType || type == kIdrType)
        return {};
    // Pictures of a collection cut from one intra stream start clean random
    // access points; libheif decodes them, libde265 keeping stand-ins for the
    // references a leading picture would have.
    if (type < kFirstRandomAccessType || type > kLastRandomAccessType)
        return CodecError::damaged;
    standIns_ = true;
    return {};
}

Result<StreamPictures> HevcScan::result() const
{
    if (pictureCount_ != 1 || pictures_.width == 0)
        return CodecError::damaged;
    StreamPictures pictures = pictures_;
    // libde265 holds up to 16 stand-in pictures beside a random access one.
    const std::uint64_t held = standIns_ ? 17 : 1;
    pictures.pixels = static_cast<std::uint64_t>(pictures.width) * static_cast<std::uint64_t>(pictures.height) * held;
    return pictures;
}

Status scanHvcC(HevcScan& scan, ByteCursor in)
{
    const std::optional<std::uint8_t> arrays = in.skip(22) ? in.u8() : std::nullopt;
    if (!arrays)
        return CodecError::damaged;
    for (int a = 0; a < *arrays; ++a) {
        const std::optional<std::uint8_t> kind = in.u8();
        const std::optional<std::uint16_t> count = in.u16be();
        if (!kind || !count)
            return CodecError::damaged;
        for (int n = 0; n < *count; ++n) {
            const std::optional<std::uint16_t> size = in.u16be();
            const auto nal = size ? in.take(*size) : std::nullopt;
            if (!nal)
                return CodecError::damaged;
            if (Status taken = scan.unit(*nal); !taken)
                return taken;
        }
    }
    return {};
}

Status scanLengthPrefixed(HevcScan& scan, ByteCursor in)
{
    while (!in.atEnd()) {
        const std::optional<std::uint32_t> size = in.u32be();
        const auto nal = size ? in.take(*size) : std::nullopt;
        if (!nal)
            return CodecError::truncated;
        if (Status taken = scan.unit(*nal); !taken)
            return taken;
    }
    return {};
}


}  // namespace

Result<StreamPictures> CheckHevcStream(std::span<const std::uint8_t> hvcC, std::span<const std::uint8_t> data,
                                       PictureSize shown)
{
    HevcScan scan(shown);
    if (Status read = scanHvcC(scan, ByteCursor(hvcC)); !read)
        return read.error();
    if (Status read = scanLengthPrefixed(scan, ByteCursor(data)); !read)
        return read.error();
    return scan.result();
}

}  // namespace vrelk
