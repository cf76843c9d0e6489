#include "pixel/bit_depth.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

#include "pixel/colour_reduce.h"
#include "platform/picture_cores.h"

namespace vrelk {
namespace {

using RowFn = void (*)(const std::uint8_t* source, std::uint8_t* target, std::int32_t width,
                       const RgbQuad* palette);

// The field of pixel x in a row packed most significant bits first.
template <int Bits>
inline unsigned packedField(const std::uint8_t* row, std::int32_t x)
{
    if constexpr (Bits == 8) {
        return row[x];
    } else {
        constexpr int kPerByte = 8 / Bits;
        const int shift = 8 - Bits - (x % kPerByte) * Bits;
        return (row[x / kPerByte] >> shift) & ((1u << Bits) - 1u);
    }
}

template <int Bits>
void unpackRow(const std::uint8_t* source, std::uint8_t* target, std::int32_t width, const RgbQuad*)
{
    for (std::int32_t x = 0; x < width; ++x)
        target[x] = static_cast<std::uint8_t>(packedField<Bits>(source, x));
}

template <int Bits>
void expandRow(const std::uint8_t* source, std::uint8_t* target, std::int32_t width, const RgbQuad* palette)
{
    for (std::int32_t x = 0; x < width; ++x) {
        const RgbQuad& colour = palette[packedField<Bits>(source, x)];
        target[0] = colour.rgbBlue;
        target[1] = colour.rgbGreen;
        target[2] = colour.rgbRed;
        target += 3;
    }
}

template <int BytesPerPixel>
void copyRow(const std::uint8_t* source, std::uint8_t* target, std::int32_t width, const RgbQuad*)
{
    std::memcpy(target, source, static_cast<std::size_t>(width) * BytesPerPixel);
}

// The 8-bit sample becomes the high byte of a little-endian 16-bit sample.
void widenRow(const std::uint8_t* source, std::uint8_t* target, std::int32_t width, const RgbQuad*)
{
    for (std::int32_t x = 0; x < width; ++x, source += 3, target += 6) {
        target[1] = source[0];
        target[3] = source[1];
        target[5] = source[2];
    }
}

void narrowRow(const std::uint8_t* source, std::uint8_t* target, std::int32_t width, const RgbQuad*)
{
    for (std::int32_t x = 0; x < width; ++x, source += 6, target += 3) {
        target[0] = source[1];
        target[1] = source[3];
        target[2] = source[5];
    }
}

struct Conversion {
    std::int32_t sourceBits;
    std::int32_t targetBits;
    int paletteEntries;  // copied to the target palette; 0 for colour targets
    bool needsSourcePalette;
    RowFn row;
};

constexpr std::array<Conversion, 10> kConversions{{
    {1, 8, 2, true, unpackRow<1>},
    {1, 24, 0, true, expandRow<1>},
    {2, 8, 4, true, unpackRow<2>},
    {4, 8, 16, true, unpackRow<4>},
    {4, 24, 0, true, expandRow<4>},
    {8, 8, 256, true, copyRow<1>},
    {8, 24, 0, true, expandRow<8>},
    {24, 24, 0, false, copyRow<3>},
    {24, 48, 0, false, widenRow},
    {48, 24, 0, false, narrowRow},
}};

// Depths that need a palette of their own are reached by colour reduction,
// which works on the whole image at once.
struct Reduction {
    std::int32_t sourceBits;
    std::int32_t targetBits;
    Status (*reduce)(PixelConverter& converter);
};

constexpr std::array<Reduction, 7> kReductions{{
    {8, 1, reduceToTwoLevels},
    {8, 2, reduceColours},
    {8, 4, reduceColours},
    {24, 1, reduceToTwoLevels},
    {24, 2, reduceColours},
    {24, 4, reduceColours},
    {24, 8, reduceColours},
}};

const Reduction* findReduction(std::int32_t sourceBits, std::int32_t targetBits)
{
    auto found = std::find_if(kReductions.begin(), kReductions.end(), [&](const Reduction& r) {
        return r.sourceBits == sourceBits && r.targetBits == targetBits;
    });
    return found == kReductions.end() ? nullptr : &*found;
}

const Conversion* findConversion(std::int32_t sourceBits, std::int32_t targetBits)
{
    auto found = std::find_if(kConversions.begin(), kConversions.end(), [&](const Conversion& c) {
        return c.sourceBits == sourceBits && c.targetBits == targetBits;
    });
    return found == kConversions.end() ? nullptr : &*found;
}

bool hasGeometry(const PixelConverter& converter)
{
    return converter.width > 0 && converter.height > 0 && converter.stride > 0;
}

}  // namespace

Status convertPixels(RgbQuad* targetPalette, std::uint8_t* targetPixels, PixelConverter& converter,
                     const RgbQuad* sourcePalette, const std::uint8_t* sourcePixels)
{
    converter.targetPalette = targetPalette;
    converter.targetPixels = targetPixels;
    converter.sourcePalette = sourcePalette;
    converter.sourcePixels = sourcePixels;

    if (const Reduction* reduction = findReduction(converter.sourceBits, converter.targetBits)) {
        if (!hasGeometry(converter) || !sourcePixels || !targetPixels || !targetPalette)
            return CodecError::unsupported;
        if (converter.sourceBits == 8 && !sourcePalette)
            return CodecError::unsupported;
        buildDiffusionTables(converter);
        return reduction->reduce(converter);
    }

    const Conversion* conversion = findConversion(converter.sourceBits, converter.targetBits);
    if (!conversion || !hasGeometry(converter) || !sourcePixels || !targetPixels)
        return CodecError::unsupported;
    if (conversion->needsSourcePalette && !sourcePalette)
        return CodecError::unsupported;
    if (conversion->paletteEntries > 0 && !targetPalette)
        return CodecError::unsupported;

    if (conversion->paletteEntries > 0 && targetPalette != sourcePalette)
        std::copy_n(sourcePalette, conversion->paletteEntries, targetPalette);

    const std::int64_t sourceStride = rowLayout(converter.width, 1, converter.sourceBits).stride;
    platform::ForRowRanges(converter.height, converter.stride, [&](std::int64_t first, std::int64_t end) {
        for (std::int64_t y = first; y < end; ++y)
            conversion->row(sourcePixels + y * sourceStride, targetPixels + y * converter.stride, converter.width,
                            sourcePalette);
    });
    return {};
}

Status convertToGrey(PixelConverter& converter, const RgbQuad* sourcePalette, const std::uint8_t* sourcePixels,
                     std::uint8_t* targetPixels)
{
    converter.sourcePalette = sourcePalette;
    converter.sourcePixels = sourcePixels;
    converter.targetPixels = targetPixels;
    if (converter.targetBits != 8 || converter.width <= 0 || converter.height <= 0 || !sourcePixels ||
        !targetPixels)
        return CodecError::unsupported;

    const std::int64_t width = converter.width;
    const std::int64_t sourceStride = rowLayout(width, 1, converter.sourceBits).stride;

    if (converter.sourceBits == 8) {
        if (!sourcePalette)
            return CodecError::unsupported;
        std::array<std::uint8_t, 256> grey{};
        for (std::size_t i = 0; i < grey.size(); ++i) {
            const RgbQuad& c = sourcePalette[i];
            grey[i] = static_cast<std::uint8_t>((c.rgbGreen * 603 + c.rgbRed * 306 + c.rgbBlue * 117) >> 10);
        }
        for (std::int64_t y = 0; y < converter.height; ++y) {
            const std::uint8_t* source = sourcePixels + y * sourceStride;
            std::uint8_t* target = targetPixels + y * width;
            for (std::int64_t x = 0; x < width; ++x)
                target[x] = grey[source[x]];
        }
        return {};
    }

    if (converter.sourceBits == 24) {
        // Each channel is truncated on its own, so white still sums to 255.
        std::array<std::uint8_t, 256> red{}, green{}, blue{};
        for (unsigned v = 0; v < 256; ++v) {
            red[v] = static_cast<std::uint8_t>((v * 306) >> 10);
            blue[v] = static_cast<std::uint8_t>((v * 117) >> 10);
            green[v] = static_cast<std::uint8_t>((v * 603) >> 10);
        }
        for (std::int64_t y = 0; y < converter.height; ++y) {
            const std::uint8_t* source = sourcePixels + y * sourceStride;
            std::uint8_t* target = targetPixels + y * width;
            for (std::int64_t x = 0; x < width; ++x, source += 3)
                target[x] = static_cast<std::uint8_t>(blue[source[0]] + green[source[1]] + red[source[2]]);
        }
        return {};
    }
    return CodecError::unsupported;
}

}  // namespace vrelk
