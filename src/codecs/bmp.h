// Windows bitmap files: reading into 8-bit paletted or 24-bit images, and
// writing the current image at its own depth.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "pixel/image.h"

namespace vrelk {

// BITMAPFILEHEADER.
struct BmpFileHeader {
    std::uint16_t type = 0;
    std::uint32_t fileSize = 0;
    std::uint16_t reserved1 = 0;
    std::uint16_t reserved2 = 0;
    std::uint32_t pixelOffset = 0;
};

inline constexpr std::uint32_t kBmpFileHeaderSize = 14;
inline constexpr std::uint32_t kBmpInfoHeaderSize = 40;
// Largest info header read (BITMAPV5HEADER).
inline constexpr std::uint32_t kBmpMaxInfoHeaderSize = 124;
inline constexpr std::int32_t kBmpMaxDimension = 25000;

struct BmpReader : CodecObject {
    BmpFileHeader fileHeader;
    BitmapInfoHeader infoHeader;
    std::array<std::uint32_t, 3> masks{};  // red, green, blue

    // Run before every file: headers, masks and the palette start zeroed.
    void resetForRead();
};

struct BmpWriter : CodecObject {
    BmpFileHeader fileHeader;
    BitmapInfoHeader infoHeader;
    std::uint32_t paletteEntries = 0;

    void resetForWrite();
};

// Decodes the file into reader.image (8 bits with palette, or 24 bits).
// Null on failure, with reader.errorCode telling why and no pixel buffer
// left. Pixel data the file does not hold stays zero.
DibImage* ReadBmp(BmpReader& reader, const platform::Path& path);

// Writes width x height of writer.sourceBits (1, 4, 8 or 24) from pixels,
// whose layout is the one computeLayout gave the writer.
bool WriteBmp(BmpWriter& writer, const platform::Path& path, const Palette& palette,
              std::span<const std::uint8_t> pixels);

void ReleaseBmpReader(BmpReader& reader);
void ReleaseBmpWriter(BmpWriter& writer);

}  // namespace vrelk
