// The program's JPEG writer as the JPEG and size-search tests drive it:
// its files read back, and the 24-bit rows they start from.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <span>
#include <vector>

#include "codec_test_support.h"
#include "codecs/jpeg.h"
#include "test_support.h"

namespace vrelk::test {

inline std::vector<std::uint8_t> readBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The bytes WriteJpeg writes for `image`, read back from a scratch file.
inline Status EncodeJpegToMemory(const ImageView& image, const JpegEncoding& encoding, std::vector<std::uint8_t>& buffer,
                                 std::size_t& length)
{
    ScratchFolder folder;
    const fs::path path = folder / "encoded.jpg";
    if (Status written = WriteJpeg(image, path, encoding); !written)
        return written;
    buffer = readBytes(path);
    length = buffer.size();
    return {};
}

// The writer set up as the JPEG write step sets it up.
struct WriterFor {
    WriterFor(int width, int height, int bits) : width(width), height(height), bits(bits) {}
    ImageView view(const Palette& palette, std::span<const std::uint8_t> pixels) const
    {
        return ImageView{width, height, bits, &palette, pixels};
    }

    int width, height, bits;
    JpegEncoding encoding;
    SizeSearchRecord search;
    WriteOutcome outcome;
};

// 24-bit bottom-up rows holding `rgb` (top row first).
inline std::vector<std::uint8_t> dibFromRgb(const std::vector<std::uint8_t>& rgb, int width, int height)
{
    const auto stride = static_cast<std::size_t>(rowLayout(width, 1, 24).stride);
    std::vector<std::uint8_t> dib(stride * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                dib[static_cast<std::size_t>(height - 1 - y) * stride + static_cast<std::size_t>(3 * x + c)] =
                    rgb[static_cast<std::size_t>(3 * (y * width + x) + 2 - c)];
    return dib;
}

}  // namespace vrelk::test
