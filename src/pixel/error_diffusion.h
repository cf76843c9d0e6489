// Floyd-Steinberg error diffusion in memory order, and the rows its
// palette indices go to. Used by the colour reduction's sources.
#pragma once

#include <cstdint>
#include <vector>

#include "pixel/pixel_converter.h"

namespace vrelk {

using PackRow = void (*)(const std::uint8_t* indices, std::uint8_t* target, std::int32_t width);

// Into zero-filled rows, leftmost pixel in the most significant bits.
template <int Bits>
void packRow(const std::uint8_t* indices, std::uint8_t* target, std::int32_t width)
{
    constexpr int kPerByte = 8 / Bits;
    for (std::int32_t x = 0; x < width; ++x)
        target[x / kPerByte] |= static_cast<std::uint8_t>(indices[x] << (8 - Bits - (x % kPerByte) * Bits));
}

// One index per pixel is produced row by row; packed targets get each row
// through the routine chosen for their depth, byte targets take it in place.
class IndexRows {
public:
    IndexRows(std::uint8_t* pixels, std::int64_t stride, PackRow pack, std::int32_t width)
        : pixels_(pixels), stride_(stride), pack_(pack), row_(pack ? static_cast<std::size_t>(width) : 0)
    {
    }

    std::uint8_t* row(std::int32_t y) { return pack_ ? row_.data() : pixels_ + y * stride_; }
    void finish(std::int32_t y, std::int32_t width)
    {
        if (pack_)
            pack_(row_.data(), pixels_ + y * stride_, width);
    }

private:
    std::uint8_t* pixels_;
    std::int64_t stride_;
    PackRow pack_;
    std::vector<std::uint8_t> row_;
};

template <int Channels>
struct Spreader {
    const std::uint8_t* clamp;  // at index 0
    const std::int32_t* share1;
    const std::int32_t* share3;
    const std::int32_t* share5;
    const std::int32_t* share7;

    void add(std::uint8_t* pixel, const std::int32_t* share, const int* error) const
    {
        for (int c = 0; c < Channels; ++c)
            pixel[c] = clamp[pixel[c] + share[error[c]]];
    }
};

// Maps one row left to right and hands each error on to the pixels not yet
// visited: right 7/16, and on the next row in memory left 3/16, same 5/16,
// right 1/16. The edges are taken apart so the inner loops do not branch.
template <int Channels, class Map>
void mapRow(const Spreader<Channels>& s, std::uint8_t* row, std::uint8_t* next, std::int32_t width,
            std::uint8_t* out, Map& map)
{
    constexpr int C = Channels;
    int e[C];
    out[0] = map(row, e);
    if (width == 1) {
        if (next)
            s.add(next, s.share5, e);
        return;
    }
    s.add(row + C, s.share7, e);
    const std::int32_t last = width - 1;
    if (next) {
        s.add(next, s.share5, e);
        s.add(next + C, s.share1, e);
        for (std::int32_t x = 1; x < last; ++x) {
            std::uint8_t* p = row + x * C;
            std::uint8_t* q = next + x * C;
            out[x] = map(p, e);
            s.add(p + C, s.share7, e);
            s.add(q - C, s.share3, e);
            s.add(q, s.share5, e);
            s.add(q + C, s.share1, e);
        }
        std::uint8_t* q = next + last * C;
        out[last] = map(row + last * C, e);
        s.add(q - C, s.share3, e);
        s.add(q, s.share5, e);
    } else {
        for (std::int32_t x = 1; x < last; ++x) {
            std::uint8_t* p = row + x * C;
            out[x] = map(p, e);
            s.add(p + C, s.share7, e);
        }
        out[last] = map(row + last * C, e);
    }
}

template <int Channels, class Map>
void diffuse(const PixelConverter& converter, std::uint8_t* work, std::int64_t workStride, IndexRows& out, Map map)
{
    const Spreader<Channels> spreader{converter.clamp.data() + 255, converter.share1, converter.share3,
                                      converter.share5, converter.share7};
    const std::int32_t height = converter.height;
    for (std::int32_t y = 0; y < height; ++y) {
        std::uint8_t* row = work + y * workStride;
        mapRow(spreader, row, y + 1 < height ? row + workStride : nullptr, converter.width, out.row(y), map);
        out.finish(y, converter.width);
    }
}

// sourceBits 8 or 24 to black and white by a grey threshold of 128, the
// error diffused; palette entry 0 black, 1 white.
bool reduceTwoLevels(PixelConverter& converter, IndexRows& out);

}  // namespace vrelk
