// Feeds arbitrary bytes to the JPEG reader and the re-encoder.
#include <cstddef>
#include <cstdint>
#include <span>

#include "codecs/jpeg.h"

namespace {

// Pictures whose header promises more than this are left out: decoding
// them is slow and their whole-image buffers exceed the fuzzer's memory
// limit without telling anything new.
constexpr std::uint64_t kMaxPixels = std::uint64_t{1} << 22;

// The size in the first frame header, found by a plain search for its
// marker; a file without one counts as small.
bool smallEnough(std::span<const std::uint8_t> input)
{
    for (std::size_t i = 0; i + 9 <= input.size(); ++i) {
        if (input[i] != 0xFF || input[i + 1] < 0xC0 || input[i + 1] > 0xC2)
            continue;
        const std::uint64_t height = input[i + 5] << 8 | input[i + 6];
        const std::uint64_t width = input[i + 7] << 8 | input[i + 8];
        return width * height <= kMaxPixels;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::span<const std::uint8_t> input(data, size);
    if (!smallEnough(input))
        return 0;
    vrelk::JpegReadOptions hint;
    if (size != 0 && data[size - 1] & 1) {
        hint.scaleHint = true;
        hint.wantedWidth = data[size - 1];
        hint.wantedHeight = 1;
    }
    (void)vrelk::ReadJpeg(vrelk::ByteCursor(input), hint);
    (void)vrelk::RecodeJpeg(vrelk::ByteCursor(input), "/dev/null");
    return 0;
}
