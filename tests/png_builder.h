// Builds small PNG files byte by byte for the PNG tests, and reads them
// back through the reader the way the PNG read entry does.
#pragma once

#include <zlib.h>

#include <array>
#include <optional>
#include <cstdint>
#include <string_view>
#include <vector>

#include "codecs/png.h"
#include "codec_test_support.h"
#include "image_builder.h"
#include "test_support.h"

namespace vrelk::test {

inline Bytes deflateBytes(const Bytes& raw)
{
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes out(size);
    compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 9);
    out.resize(size);
    return out;
}

// A whole file from filtered rows: one IDAT holding their deflated bytes.
inline Bytes simplePng(std::uint32_t width, std::uint32_t height, int depth, int colourType, const Bytes& rows,
                       std::initializer_list<Bytes> before = {})
{
    Bytes out = pngFile({ihdr(width, height, depth, colourType)});
    for (const Bytes& chunk : before)
        out = concat({out, chunk});
    return concat({out, pngChunk("IDAT", deflateBytes(rows)), iend()});
}

struct Rgb {
    std::uint8_t r, g, b;
    bool operator==(const Rgb&) const = default;
};

struct Decoded {
    bool ok = false;
    std::optional<CodecError> errorCode;  // a failure, or a stream cut short
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
    PngReadOptions options;
    options.tables = &sharedTables();
    options.useGivenBackground = true;
    options.displayGamma = 2200;
    bool cutShort = false;
    ReadOutcome reader;
    Picture* image = reader.keep(readThrough(path, [&](ByteCursor in) { return ReadPng(in, options, &cutShort); }));
    Decoded result;
    result.ok = image != nullptr;
    result.errorCode = reader.errorCode;
    if (cutShort)
        result.errorCode = CodecError::pngZlib;
    if (!image)
        return result;
    result.bits = image->bits();
    result.width = image->width;
    result.height = image->height;
    result.xPerMetre = image->meta.resolution.xPerMetre;
    result.yPerMetre = image->meta.resolution.yPerMetre;
    result.palette = image->palette;
    const std::int64_t stride = image->stride;
    for (int y = 0; y < image->height; ++y) {
        const std::uint8_t* row = image->pixels.data() + (image->height - 1 - y) * stride;
        for (int x = 0; x < image->width; ++x) {
            if (image->bits() == 8) {
                const RgbQuad& c = image->palette[row[x]];
                result.indices.push_back(row[x]);
                result.rgb.push_back({c.rgbRed, c.rgbGreen, c.rgbBlue});
            } else {
                result.rgb.push_back({row[3 * x + 2], row[3 * x + 1], row[3 * x]});
            }
        }
    }
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
