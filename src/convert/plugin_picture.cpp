#include "convert/plugin_picture.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "codecs/byte_cursor.h"
#include "picture/checked.h"

namespace vrelk {
namespace {

constexpr std::uint32_t kInfoHeaderBytes = 40;
constexpr std::size_t kPaletteBytes = sizeof(Palette);
constexpr std::array<int, 4> kAcceptedDepths{1, 4, 8, 24};

struct PluginHeader {
    std::uint32_t size = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint16_t bitCount = 0;
    std::uint32_t compression = 0;
    std::int32_t xPelsPerMeter = 0;
    std::int32_t yPelsPerMeter = 0;
};

std::optional<PluginHeader> readInfoHeader(std::span<const std::uint8_t> info)
{
    if (info.size() < kInfoHeaderBytes)
        return std::nullopt;
    const std::uint8_t* b = info.data();
    auto s32 = [&](std::size_t at) { return static_cast<std::int32_t>(LoadU32LE(b + at)); };
    return PluginHeader{LoadU32LE(b), s32(4), s32(8), LoadU16LE(b + 14), LoadU32LE(b + 16), s32(24), s32(28)};
}

// Bottom-up, uncompressed, at a depth the rest of the program takes; a
// top-down or compressed result is refused rather than misread.
bool acceptable(const PluginHeader& header)
{
    return header.compression == 0 && dimensionsAllowed(header.width, header.height) &&
           std::find(kAcceptedDepths.begin(), kAcceptedDepths.end(), header.bitCount) != kAcceptedDepths.end();
}

// The colour table begins where the header's own size says (never inside
// the 40 bytes already read).
std::uint32_t paletteStart(const PluginHeader& header) { return std::max(header.size, kInfoHeaderBytes); }

// Entries the block does not hold stay zero.
void copyPalette(std::span<const std::uint8_t> info, std::uint32_t start, Palette& palette)
{
    if (start >= info.size())
        return;
    std::span<const std::uint8_t> table = info.subspan(start);
    const std::size_t entries = std::min(table.size() / sizeof(RgbQuad), palette.size());
    std::memcpy(palette.data(), table.data(), entries * sizeof(RgbQuad));
}

}  // namespace

Result<Picture> ImageFromPluginBlocks(std::span<const std::uint8_t> info, std::span<const std::uint8_t> bits)
{
    std::optional<PluginHeader> header = readInfoHeader(info);
    if (!header)
        return CodecError::damaged;
    if (!acceptable(*header))
        return CodecError::unsupported;
    if (bits.empty())
        return CodecError::damaged;

    Result<Picture> image = allocatePicture(header->width, header->height, layoutOfBits(header->bitCount));
    if (!image)
        return image;
    image->meta.resolution = {header->xPelsPerMeter, header->yPelsPerMeter, DensityUnit::perMetre};
    copyPalette(info, paletteStart(*header), image->palette);
    const std::size_t copied = std::min(bits.size(), image->pixels.size());
    std::memcpy(image->pixels.data(), bits.data(), copied);
    return image;
}

std::size_t PluginInfoBytesUsed(std::span<const std::uint8_t> info)
{
    std::optional<PluginHeader> header = readInfoHeader(info);
    if (!header)
        return info.size();
    const std::size_t start = paletteStart(*header);
    if (start >= info.size())
        return kInfoHeaderBytes;
    return start + std::min(info.size() - start, kPaletteBytes);
}

std::size_t PluginPixelBytesUsed(std::span<const std::uint8_t> info, std::size_t bitsSize)
{
    std::optional<PluginHeader> header = readInfoHeader(info);
    if (!header || !acceptable(*header))
        return 0;
    const RowLayout layout = rowLayout(header->width, header->height, header->bitCount);
    return static_cast<std::size_t>(std::min<std::uint64_t>(bitsSize, static_cast<std::uint64_t>(layout.imageSize)));
}

}  // namespace vrelk
