#include "pixel/orient.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace vrelk {
namespace {

// Where the upright picture's pixel (x, y) comes from in the stored one, as
// sx = sx0 + sxx*x + sxy*y and sy = sy0 + syx*x + syy*y, with the constant
// parts counted in "last column" and "last row" units.
struct SourceMap {
    int sxFromX, sxFromY, sxLast;  // sxLast: 1 when sx0 is the last column
    int syFromX, syFromY, syLast;
};

// By orientation 1..8, coordinates counted from the top left.
constexpr std::array<SourceMap, 9> kSourceMaps{{
    {1, 0, 0, 0, 1, 0},    // (unused)
    {1, 0, 0, 0, 1, 0},    // 1: as stored
    {-1, 0, 1, 0, 1, 0},   // 2: mirrored left to right
    {-1, 0, 1, 0, -1, 1},  // 3: turned half round
    {1, 0, 0, 0, -1, 1},   // 4: mirrored top to bottom
    {0, 1, 0, 1, 0, 0},    // 5: transposed
    {0, 1, 0, -1, 0, 1},   // 6: turned a quarter clockwise to show
    {0, -1, 1, -1, 0, 1},  // 7: transversed
    {0, -1, 1, 1, 0, 0},   // 8: turned a quarter anticlockwise to show
}};

template <int BytesPerPixel>
void copyRow(const std::uint8_t* source, std::int64_t step, std::uint8_t* target, std::int32_t width)
{
    for (std::int32_t x = 0; x < width; ++x, source += step, target += BytesPerPixel)
        std::memcpy(target, source, BytesPerPixel);
}

using RowCopy = void (*)(const std::uint8_t*, std::int64_t, std::uint8_t*, std::int32_t);

constexpr std::int32_t kTile = 64;

}  // namespace

bool orientImage(DibImage& image, std::uint16_t orientation)
{
    if (orientation < 2 || orientation > 8)
        return true;
    const int bits = image.header.biBitCount;
    if (bits != 8 && bits != 24)
        return false;
    const std::int32_t width = image.header.biWidth;
    const std::int32_t height = image.header.biHeight;
    const bool transposes = orientationTransposes(orientation);
    const std::int32_t newWidth = transposes ? height : width;
    const std::int32_t newHeight = transposes ? width : height;
    const RowLayout oldLayout = rowLayout(width, height, bits);
    const RowLayout newLayout = rowLayout(newWidth, newHeight, bits);
    PageBuffer upright = PageBuffer::allocate(static_cast<std::size_t>(newLayout.imageSize));
    if (!upright)
        return false;

    // Stored rows are bottom-up: the byte offset of stored pixel (sx, sy)
    // is (height - 1 - sy) * stride + sx * bytes, which is affine in the
    // upright coordinates, so each row is a start and a fixed step.
    const std::int64_t bytes = bits / 8;
    const SourceMap& map = kSourceMaps[orientation];
    auto offsetOf = [&](std::int64_t x, std::int64_t y) {
        const std::int64_t sx = map.sxLast * (width - 1) + map.sxFromX * x + map.sxFromY * y;
        const std::int64_t sy = map.syLast * (height - 1) + map.syFromX * x + map.syFromY * y;
        return (height - 1 - sy) * oldLayout.stride + sx * bytes;
    };
    const std::int64_t origin = offsetOf(0, 0);
    const std::int64_t stepX = offsetOf(1, 0) - origin;
    const std::int64_t stepY = offsetOf(0, 1) - origin;
    // A quarter turn reads the stored picture down its columns; square tiles
    // keep the rows they touch in the cache.
    const RowCopy copy = bits == 8 ? copyRow<1> : copyRow<3>;
    const std::uint8_t* source = image.pixels.data() + origin;
    for (std::int32_t y0 = 0; y0 < newHeight; y0 += kTile) {
        const std::int32_t yEnd = std::min(newHeight, y0 + kTile);
        for (std::int32_t x0 = 0; x0 < newWidth; x0 += kTile) {
            const std::int32_t count = std::min(kTile, newWidth - x0);
            for (std::int32_t y = y0; y < yEnd; ++y)
                copy(source + y * stepY + x0 * stepX, stepX,
                     upright.data() + (newHeight - 1 - y) * newLayout.stride + x0 * bytes, count);
        }
    }

    image.pixels = std::move(upright);
    image.header.biWidth = newWidth;
    image.header.biHeight = newHeight;
    if (transposes)
        std::swap(image.header.biXPelsPerMeter, image.header.biYPelsPerMeter);
    return true;
}

}  // namespace vrelk
