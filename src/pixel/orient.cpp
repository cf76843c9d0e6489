#include "pixel/orient.h"

#include <array>
#include <cstring>

#include "picture/picture.h"

namespace vrelk {
namespace {

// Upright coordinates from stored ones, per orientation:
// x = xFromSx * sx + xFromSy * sy + xLastW * (W - 1) + xLastH * (H - 1), and
// likewise y.
struct ForwardMap {
    int xFromSx, xFromSy, xLastW, xLastH;
    int yFromSx, yFromSy, yLastW, yLastH;
};

constexpr std::array<ForwardMap, 9> kForwardMaps{{
    {1, 0, 0, 0, 0, 1, 0, 0},   // (unused)
    {1, 0, 0, 0, 0, 1, 0, 0},   // 1: as stored
    {-1, 0, 1, 0, 0, 1, 0, 0},  // 2: mirrored left to right
    {-1, 0, 1, 0, 0, -1, 0, 1}, // 3: turned half round
    {1, 0, 0, 0, 0, -1, 0, 1},  // 4: mirrored top to bottom
    {0, 1, 0, 0, 1, 0, 0, 0},   // 5: transposed
    {0, -1, 0, 1, 1, 0, 0, 0},  // 6: shown turned a quarter clockwise
    {0, -1, 0, 1, -1, 0, 1, 0}, // 7: transversed
    {0, 1, 0, 0, -1, 0, 1, 0},  // 8: shown turned a quarter anticlockwise
}};

// Flips keep a stored row in one upright row: walk each row.
template <int Bytes>
void placeAlongRows(const UprightPlacement& p, std::span<const std::uint8_t* const> rows, std::int32_t firstRow,
                    std::uint8_t* target)
{
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const std::uint8_t* from = rows[r];
        std::uint8_t* to = target + p.origin + (firstRow + static_cast<std::int64_t>(r)) * p.stepY;
        for (std::int32_t sx = 0; sx < p.storedWidth; ++sx, from += Bytes, to += p.stepX)
            std::memcpy(to, from, Bytes);
    }
}

// Quarter turns make a stored column an upright row: walk the columns of the
// rows at hand, writing a short run of each upright row at a time.
template <int Bytes>
void placeAcrossRows(const UprightPlacement& p, std::span<const std::uint8_t* const> rows, std::int32_t firstRow,
                     std::uint8_t* target)
{
    std::uint8_t* column = target + p.origin + firstRow * p.stepY;
    for (std::int32_t sx = 0; sx < p.storedWidth; ++sx, column += p.stepX) {
        std::uint8_t* to = column;
        for (const std::uint8_t* row : rows) {
            std::memcpy(to, row + static_cast<std::int64_t>(sx) * Bytes, Bytes);
            to += p.stepY;
        }
    }
}

// The same for 24 bits, four bytes a pixel at a time: each store's fourth
// byte is overwritten by the next pixel of the run, so the run is walked
// towards higher addresses and its last pixel is copied with three bytes.
// Strip rows must have one readable byte behind their last pixel.
void placeAcrossRows24(const UprightPlacement& p, std::span<const std::uint8_t* const> rows, std::int32_t firstRow,
                       std::uint8_t* target)
{
    const std::size_t count = rows.size();
    if (count == 0)
        return;
    const bool forward = p.stepY > 0;
    const std::int64_t step = forward ? p.stepY : -p.stepY;
    std::array<const std::uint8_t*, 64> from{};
    const std::size_t runs = std::min(count, from.size());
    for (std::size_t r0 = 0; r0 < count; r0 += runs) {
        const std::size_t n = std::min(runs, count - r0);
        for (std::size_t i = 0; i < n; ++i)
            from[i] = rows[forward ? r0 + i : r0 + n - 1 - i];
        const std::int64_t lowest = firstRow + static_cast<std::int64_t>(forward ? r0 : r0 + n - 1);
        std::uint8_t* column = target + p.origin + lowest * p.stepY;
        for (std::int32_t sx = 0; sx < p.storedWidth; ++sx, column += p.stepX) {
            const std::int64_t at = static_cast<std::int64_t>(sx) * 3;
            std::uint8_t* to = column;
            for (std::size_t i = 0; i + 1 < n; ++i, to += step) {
                std::uint32_t pixel;
                std::memcpy(&pixel, from[i] + at, 4);
                std::memcpy(to, &pixel, 4);
            }
            std::memcpy(to, from[n - 1] + at, 3);
        }
    }
}

// By 8, 24 or 32 bits, then by whether the orientation transposes.
constexpr std::array<std::array<PlaceRows, 2>, 3> kPlacers{{
    {placeAlongRows<1>, placeAcrossRows<1>},
    {placeAlongRows<3>, placeAcrossRows24},
    {placeAlongRows<4>, placeAcrossRows<4>},
}};

constexpr std::size_t placerOf(int bits) { return bits == 24 ? 1 : bits == 32 ? 2 : 0; }

constexpr std::uint16_t validOrientation(std::uint16_t orientation)
{
    return orientation >= 1 && orientation <= 8 ? orientation : 1;
}

}  // namespace

std::array<std::int64_t, 2> uprightPosition(std::uint16_t orientation, std::int64_t sx, std::int64_t sy,
                                            std::int64_t storedWidth, std::int64_t storedHeight)
{
    const ForwardMap& m = kForwardMaps[validOrientation(orientation)];
    return {m.xFromSx * sx + m.xFromSy * sy + m.xLastW * (storedWidth - 1) + m.xLastH * (storedHeight - 1),
            m.yFromSx * sx + m.yFromSy * sy + m.yLastW * (storedWidth - 1) + m.yLastH * (storedHeight - 1)};
}

// The linear parts multiply; the offsets only keep the picture in place,
// so the product names the orientation.
std::uint16_t composeOrientations(std::uint16_t first, std::uint16_t then)
{
    const ForwardMap& a = kForwardMaps[validOrientation(first)];
    const ForwardMap& b = kForwardMaps[validOrientation(then)];
    const int xx = b.xFromSx * a.xFromSx + b.xFromSy * a.yFromSx;
    const int xy = b.xFromSx * a.xFromSy + b.xFromSy * a.yFromSy;
    const int yx = b.yFromSx * a.xFromSx + b.yFromSy * a.yFromSx;
    const int yy = b.yFromSx * a.xFromSy + b.yFromSy * a.yFromSy;
    for (std::uint16_t o = 1; o <= 8; ++o) {
        const ForwardMap& m = kForwardMaps[o];
        if (m.xFromSx == xx && m.xFromSy == xy && m.yFromSx == yx && m.yFromSy == yy)
            return o;
    }
    return 1;
}

UprightPlacement uprightPlacement(std::int32_t storedWidth, std::int32_t storedHeight, int bits,
                                  std::uint16_t orientation)
{
    orientation = validOrientation(orientation);
    const bool transposes = orientationTransposes(orientation);
    UprightPlacement p;
    p.storedWidth = storedWidth;
    p.uprightWidth = transposes ? storedHeight : storedWidth;
    p.uprightHeight = transposes ? storedWidth : storedHeight;
    const std::int64_t bytes = bits / 8;
    const std::int64_t stride = rowLayout(p.uprightWidth, 1, bits).stride;
    auto offsetOf = [&](std::int64_t sx, std::int64_t sy) {
        const auto [x, y] = uprightPosition(orientation, sx, sy, storedWidth, storedHeight);
        return (p.uprightHeight - 1 - y) * stride + x * bytes;
    };
    p.origin = offsetOf(0, 0);
    p.stepX = offsetOf(1, 0) - p.origin;
    p.stepY = offsetOf(0, 1) - p.origin;
    p.place = kPlacers[placerOf(bits)][transposes];
    return p;
}

}  // namespace vrelk
