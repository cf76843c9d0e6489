#include "codecs/png_common.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "codecs/metadata.h"

#include <zlib.h>

namespace vrelk {

// iTXt: keyword, NUL, compression flag, method, language tag, NUL,
// translated keyword, NUL, text.
std::span<const std::uint8_t> XmpFromItxt(std::span<const std::uint8_t> data)
{
    const std::size_t fixed = kXmpKeyword.size() + 3;
    if (data.size() < fixed || !std::equal(kXmpKeyword.begin(), kXmpKeyword.end(), data.begin()) ||
        data[kXmpKeyword.size()] != 0 || data[kXmpKeyword.size() + 1] != 0)
        return {};
    std::span<const std::uint8_t> rest = data.subspan(fixed);
    for (int field = 0; field < 2; ++field) {
        const auto end = std::find(rest.begin(), rest.end(), std::uint8_t{0});
        if (end == rest.end())
            return {};
        rest = rest.subspan(static_cast<std::size_t>(end - rest.begin()) + 1);
    }
    return rest;
}

std::vector<std::uint8_t> ItxtForXmp(std::span<const std::uint8_t> xmp)
{
    // The keyword's NUL, compression flag and method, and two empty fields.
    constexpr std::size_t kFields = 5;
    std::vector<std::uint8_t> data(kXmpKeyword.size() + kFields + xmp.size(), 0);
    std::copy(kXmpKeyword.begin(), kXmpKeyword.end(), data.begin());
    std::copy(xmp.begin(), xmp.end(), data.begin() + static_cast<std::ptrdiff_t>(kXmpKeyword.size() + kFields));
    return data;
}

void BuildCrcTable(CrcTable& table)
{
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
}

std::uint32_t UpdateCrc(const CrcTable& table, std::uint32_t crc, std::span<const std::uint8_t> bytes)
{
    // Long runs (the image data) go through zlib's wider CRC loop; it keeps
    // its register complemented.
    if (bytes.size() >= 256)
        return ~static_cast<std::uint32_t>(crc32(~crc, bytes.data(), static_cast<uInt>(bytes.size())));
    for (std::uint8_t byte : bytes)
        crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
    return crc;
}

std::uint32_t ChunkCrc(const CrcTable& table, std::span<const std::uint8_t, 4> type,
                       std::span<const std::uint8_t> data)
{
    std::uint32_t crc = UpdateCrc(table, 0xFFFFFFFFu, type);
    return UpdateCrc(table, crc, data) ^ 0xFFFFFFFFu;
}

std::int64_t PngRowSize(std::int64_t width, int bitDepth, int bytesPerPixel)
{
    switch (bitDepth) {
    case 1: return (width + 7) / 8 + 1;
    case 2: return (width + 3) / 4 + 1;
    case 4: return (width + 1) / 2 + 1;
    default: return width * bytesPerPixel + 1;
    }
}

std::array<Adam7Pass, 7> Adam7PassSizes(std::int64_t width, std::int64_t height, int bitDepth, int bytesPerPixel)
{
    std::array<Adam7Pass, 7> passes{{
        {0, 0, 8, 8},
        {4, 0, 8, 8},
        {0, 4, 4, 8},
        {2, 0, 4, 4},
        {0, 2, 2, 4},
        {1, 0, 2, 2},
        {0, 1, 1, 2},
    }};
    for (Adam7Pass& pass : passes) {
        pass.width = (width - pass.xStart + pass.xStep - 1) / pass.xStep;
        pass.height = (height - pass.yStart + pass.yStep - 1) / pass.yStep;
        if (pass.width < 0)
            pass.width = 0;
        if (pass.height < 0)
            pass.height = 0;
        pass.rowSize = pass.width && pass.height ? PngRowSize(pass.width, bitDepth, bytesPerPixel) : 0;
    }
    return passes;
}

void* PngZlibAlloc(void*, unsigned items, unsigned size) { return std::calloc(items, size); }

void PngZlibFree(void*, void* block) { std::free(block); }

}  // namespace vrelk
