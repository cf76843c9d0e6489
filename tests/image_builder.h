// Image files built byte by byte, shared by the native tests and the
// Windows tests under Wine: only the standard library, so both compilers
// take it.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

// Recipes name only the fields that matter to a test and leave the rest at
// their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vrelk::test {

using Bytes = std::vector<std::uint8_t>;

inline void putLE(Bytes& out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// The parts one after another, in a buffer sized once: GCC 12 at -O3
// reports false overflows when short vectors grow step by step inside
// inlined builders.
inline Bytes concat(std::initializer_list<std::span<const std::uint8_t>> parts)
{
    std::size_t total = 0;
    for (auto part : parts)
        total += part.size();
    Bytes out(total);
    std::size_t at = 0;
    for (auto part : parts) {
        if (!part.empty())
            std::memcpy(out.data() + at, part.data(), part.size());
        at += part.size();
    }
    return out;
}

inline std::array<std::uint8_t, 4> bigEndian32(std::uint32_t value)
{
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

inline void putU32(Bytes& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// ---- BMP ------------------------------------------------------------------------

// A colour-table entry as a bitmap stores it.
struct BmpColour {
    std::uint8_t rgbBlue = 0;
    std::uint8_t rgbGreen = 0;
    std::uint8_t rgbRed = 0;
    std::uint8_t rgbReserved = 0;
};

struct BmpRecipe {
    std::int32_t width = 1;
    std::int32_t height = 1;
    std::uint16_t bits = 24;
    std::uint32_t compression = 0;
    std::uint32_t headerSize = 40;
    std::uint32_t colorsUsed = 0;
    std::int64_t sizeImage = -1;           // -1: the number of pixel bytes given
    std::uint32_t pixelsPerMetre = 2835;
    std::vector<BmpColour> palette;        // written as given
    std::array<std::uint32_t, 3> masks{};  // red, green, blue; written for compression 3
    Bytes pixels;                          // the rows exactly as stored
    std::uint8_t headerFill = 0;           // bytes of a larger header past its first 40 (and masks)
    std::int64_t pixelOffset = -1;         // -1: right behind the palette
};

inline Bytes buildBmp(const BmpRecipe& s)
{
    Bytes info;
    putLE(info, s.headerSize, 4);
    putLE(info, static_cast<std::uint32_t>(s.width), 4);
    putLE(info, static_cast<std::uint32_t>(s.height), 4);
    putLE(info, 1, 2);
    putLE(info, s.bits, 2);
    putLE(info, s.compression, 4);
    putLE(info, static_cast<std::uint32_t>(s.sizeImage >= 0 ? s.sizeImage : static_cast<std::int64_t>(s.pixels.size())), 4);
    putLE(info, s.pixelsPerMetre, 4);
    putLE(info, s.pixelsPerMetre, 4);
    putLE(info, s.colorsUsed, 4);
    putLE(info, 0, 4);
    if (s.compression == 3)
        for (std::uint32_t mask : s.masks)
            putLE(info, mask, 4);
    while (info.size() < s.headerSize)
        info.push_back(s.headerFill);

    Bytes colours;
    for (const BmpColour& c : s.palette)
        colours.insert(colours.end(), {c.rgbBlue, c.rgbGreen, c.rgbRed, c.rgbReserved});

    const std::uint32_t offset = s.pixelOffset >= 0 ? static_cast<std::uint32_t>(s.pixelOffset)
                                                    : static_cast<std::uint32_t>(14 + info.size() + colours.size());
    Bytes file{'B', 'M'};
    putLE(file, static_cast<std::uint32_t>(14 + info.size() + colours.size() + s.pixels.size()), 4);
    putLE(file, 0, 4);
    putLE(file, offset, 4);
    file.insert(file.end(), info.begin(), info.end());
    file.insert(file.end(), colours.begin(), colours.end());
    if (s.pixelOffset >= 0)
        file.resize(std::max<std::size_t>(file.size(), offset), 0);
    file.insert(file.end(), s.pixels.begin(), s.pixels.end());
    return file;
}

// Rows of a 24-bit picture, padded to 4 bytes, bottom-up, with a pattern
// that differs from pixel to pixel.
inline Bytes patternRows24(std::int32_t width, std::int32_t height)
{
    const std::uint32_t stride = (3 * static_cast<std::uint32_t>(width) + 3) & ~3u;
    Bytes rows(stride * static_cast<std::uint32_t>(height), 0);
    for (std::uint32_t i = 0; i < rows.size(); ++i)
        if (i % stride < 3u * static_cast<std::uint32_t>(width))
            rows[i] = static_cast<std::uint8_t>(i * 37 + 11);
    return rows;
}

// ---- PNG ------------------------------------------------------------------------

inline std::uint32_t crc32Of(std::uint32_t crc, const std::uint8_t* bytes, std::size_t count)
{
    crc = ~crc;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline Bytes pngChunk(std::string_view type, const Bytes& data)
{
    const auto typeBytes = std::span(reinterpret_cast<const std::uint8_t*>(type.data()), type.size());
    Bytes typeAndData = concat({typeBytes, data});
    return concat({bigEndian32(static_cast<std::uint32_t>(data.size())), typeAndData,
                   bigEndian32(crc32Of(0, typeAndData.data(), typeAndData.size()))});
}

inline Bytes ihdr(std::uint32_t width, std::uint32_t height, int depth, int colourType, int interlace = 0)
{
    const std::array<std::uint8_t, 5> rest{static_cast<std::uint8_t>(depth), static_cast<std::uint8_t>(colourType), 0,
                                           0, static_cast<std::uint8_t>(interlace)};
    return pngChunk("IHDR", concat({bigEndian32(width), bigEndian32(height), rest}));
}

inline Bytes be16(std::initializer_list<int> values)
{
    Bytes out(2 * values.size());
    std::size_t at = 0;
    for (int v : values) {
        out[at++] = static_cast<std::uint8_t>(v >> 8);
        out[at++] = static_cast<std::uint8_t>(v);
    }
    return out;
}

inline Bytes pngFile(std::initializer_list<Bytes> chunks)
{
    static constexpr std::array<std::uint8_t, 8> kSignature{137, 80, 78, 71, 13, 10, 26, 10};
    Bytes out(kSignature.begin(), kSignature.end());
    for (const Bytes& chunk : chunks)
        out = concat({out, chunk});
    return out;
}

inline Bytes iend() { return pngChunk("IEND", {}); }

}  // namespace vrelk::test
