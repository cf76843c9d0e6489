// Windows bitmap files: reading into 8-bit paletted or 24-bit images, and
// writing an image at its own depth.
#pragma once

#include <cstdint>

#include "codecs/byte_cursor.h"
#include "codecs/codec.h"
#include "picture/picture.h"
#include "platform/platform.h"

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

// Decodes a whole file into 8 bits with a palette, or 24 bits. Pixel data
// the file does not hold stays zero.
Result<Picture> ReadBmp(ByteCursor in, const ReadLimits& limits = {});

// Writes an image of 1, 4, 8 or 24 bits per pixel.
Status WriteBmp(const ImageView& image, const platform::Path& path);

}  // namespace vrelk
