// Builds small PNG files byte by byte for the PNG tests, and reads them
// back through the reader the way the PNG read entry does.
#pragma once

#include <zlib.h>

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "codecs/png.h"
#include "test_support.h"

namespace vrelk::test {

using Bytes = std::vector<std::uint8_t>;

inline void putU32(Bytes& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

inline Bytes pngChunk(std::string_view type, const Bytes& data)
{
    Bytes out;
    putU32(out, static_cast<std::uint32_t>(data.size()));
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), data.begin(), data.end());
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type.data()), 4);
    if (!data.empty())  // a null buffer would restart the CRC
        crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
    putU32(out, static_cast<std::uint32_t>(crc));
    return out;
}

inline Bytes ihdr(std::uint32_t width, std::uint32_t height, int depth, int colourType, int interlace = 0)
{
    Bytes data;
    putU32(data, width);
    putU32(data, height);
    data.insert(data.end(), {static_cast<std::uint8_t>(depth), static_cast<std::uint8_t>(colourType), 0, 0,
                             static_cast<std::uint8_t>(interlace)});
    return pngChunk("IHDR", data);
}

inline Bytes deflateBytes(const Bytes& raw)
{
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes out(size);
    compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 9);
    out.resize(size);
    return out;
}

inline Bytes be16(std::initializer_list<int> values)
{
    Bytes out;
    for (int v : values)
        out.insert(out.end(), {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
    return out;
}

inline Bytes pngFile(std::initializer_list<Bytes> chunks)
{
    Bytes out{137, 80, 78, 71, 13, 10, 26, 10};
    for (const Bytes& chunk : chunks)
        out.insert(out.end(), chunk.begin(), chunk.end());
    return out;
}

inline Bytes iend() { return pngChunk("IEND", {}); }

// A whole file from filtered rows: one IDAT holding their deflated bytes.
inline Bytes simplePng(std::uint32_t width, std::uint32_t height, int depth, int colourType, const Bytes& rows,
                       std::initializer_list<Bytes> before = {})
{
    Bytes out = pngFile({ihdr(width, height, depth, colourType)});
    for (const Bytes& chunk : before)
        out.insert(out.end(), chunk.begin(), chunk.end());
    Bytes data = pngChunk("IDAT", deflateBytes(rows));
    out.insert(out.end(), data.begin(), data.end());
    Bytes end = iend();
    out.insert(out.end(), end.begin(), end.end());
    return out;
}

struct Rgb {
    std::uint8_t r, g, b;
    bool operator==(const Rgb&) const = default;
};

struct Decoded {
    bool ok = false;
    int errorCode = 0;
    int bits = 0;
    int width = 0;
    int height = 0;
    std::int32_t xPerMetre = 0;
    std::int32_t yPerMetre = 0;
    Palette palette{};
    std::vector<std::uint8_t> indices;  // 8-bit images, top-down
    std::vector<Rgb> rgb;               // every image, top-down

    Rgb at(int x, int y) const { return rgb[static_cast<std::size_t>(y * width + x)]; }
    std::uint8_t index(int x, int y) const { return indices[static_cast<std::size_t>(y * width + x)]; }
};

inline const LookupTables& sharedTables()
{
    static const LookupTables* tables = [] {
        static LookupTables built;
        buildLookupTables(built);
        return &built;
    }();
    return *tables;
}

// Reads a file as the PNG read entry does: white background, gamma 2.2.
inline Decoded decodePngFile(const fs::path& path)
{
    static PngReader reader;
    reader.resetFileState();
    reader.resetForRead();
    reader.tables = &sharedTables();
    reader.pixelsInPages = true;
    reader.useGivenBackground = true;
    reader.displayGamma = 2200;
    Decoded result;
    ReadCursor cursor;
    DibImage* image = MapInputFile(path, reader, cursor) ? ReadPng(reader, cursor) : nullptr;
    ReleasePngReader(reader);
    result.ok = image != nullptr;
    result.errorCode = reader.errorCode;
    if (!image)
        return result;
    const BitmapInfoHeader& h = image->header;
    result.bits = h.biBitCount;
    result.width = h.biWidth;
    result.height = h.biHeight;
    result.xPerMetre = h.biXPelsPerMeter;
    result.yPerMetre = h.biYPelsPerMeter;
    result.palette = image->palette;
    const std::int64_t stride = rowLayout(h.biWidth, 1, h.biBitCount).stride;
    for (int y = 0; y < h.biHeight; ++y) {
        const std::uint8_t* row = image->pixels.data() + (h.biHeight - 1 - y) * stride;
        for (int x = 0; x < h.biWidth; ++x) {
            if (h.biBitCount == 8) {
                const RgbQuad& c = image->palette[row[x]];
                result.indices.push_back(row[x]);
                result.rgb.push_back({c.rgbRed, c.rgbGreen, c.rgbBlue});
            } else {
                result.rgb.push_back({row[3 * x + 2], row[3 * x + 1], row[3 * x]});
            }
        }
    }
    image->pixels.reset();
    return result;
}

inline Decoded decodePng(const Bytes& bytes)
{
    ScratchFolder folder;
    writeBytes(folder / "in.png", bytes);
    return decodePngFile(folder / "in.png");
}

inline bool haveTool(const char* path) { return fs::exists(path); }

}  // namespace vrelk::test
