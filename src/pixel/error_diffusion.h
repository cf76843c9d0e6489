// Floyd-Steinberg error diffusion in memory order, and the rows its
// palette indices go to. Used by the colour reduction's sources.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "pixel/pixel_converter.h"
#include "platform/picture_cores.h"

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

    // For threads that map rows side by side: each packs from a row of its
    // own, `own`, of width indices.
    bool packs() const { return pack_ != nullptr; }
    std::uint8_t* row(std::int32_t y, std::uint8_t* own) const { return pack_ ? own : pixels_ + y * stride_; }
    void finish(std::int32_t y, std::int32_t width, const std::uint8_t* own) const
    {
        if (pack_)
            pack_(own, pixels_ + y * stride_, width);
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

// Maps pixels [first, end) of a row left to right and hands each error on
// to the pixels not yet visited: right 7/16, and on the next row in memory
// left 3/16, same 5/16, right 1/16. The row's edges are taken apart so the
// inner loops do not branch; a whole row is the span [0, width).
template <int Channels, class Map>
void mapSpan(const Spreader<Channels>& s, std::uint8_t* row, std::uint8_t* next, std::int32_t width,
             std::int32_t first, std::int32_t end, std::uint8_t* out, Map& map)
{
    constexpr int C = Channels;
    const std::int32_t last = width - 1;
    int e[C];
    std::int32_t x = first;
    if (x == 0) {
        out[0] = map(row, e);
        if (last > 0)
            s.add(row + C, s.share7, e);
        if (next)
            s.add(next, s.share5, e);
        if (next && last > 0)
            s.add(next + C, s.share1, e);
        x = 1;
    }
    const std::int32_t inner = std::min(end, last);
    if (next) {
        for (; x < inner; ++x) {
            std::uint8_t* p = row + x * C;
            std::uint8_t* q = next + x * C;
            out[x] = map(p, e);
            s.add(p + C, s.share7, e);
            s.add(q - C, s.share3, e);
            s.add(q, s.share5, e);
            s.add(q + C, s.share1, e);
        }
    } else {
        for (; x < inner; ++x) {
            std::uint8_t* p = row + x * C;
            out[x] = map(p, e);
            s.add(p + C, s.share7, e);
        }
    }
    if (end == width && last > 0) {
        out[last] = map(row + last * C, e);
        if (next) {
            s.add(next + (last - 1) * C, s.share3, e);
            s.add(next + last * C, s.share5, e);
        }
    }
}

// How far each row has been mapped, for threads that map rows side by
// side. Pixel x of a row gets its last share from the row above when that
// row maps pixel x + 1, and then hands 7/16 on to pixel x + 1 of its own
// row, which the row above still adds to until it has mapped pixel x + 2:
// so a row maps pixel x only once the row above has mapped x + 2, and every
// pixel receives the same shares in the same order as on one thread.
class RowProgress {
public:
    // Pixels are handed on in blocks, so that a wait costs little per pixel.
    static constexpr std::int32_t kBlock = 64;
    // Threads beyond one per lent core only wait.
    static constexpr std::int32_t kMostThreads = 16;

    RowProgress(std::int32_t width, std::int32_t height);

    // The next row no thread has taken, or -1 when every row is taken. Rows
    // are taken in order by threads that map them at once, so the row a
    // thread waits on is always being mapped.
    std::int32_t take();
    // Until row y may map pixels up to `end`; false when another thread
    // has failed.
    bool waitAbove(std::int32_t y, std::int32_t end) const;
    void mapped(std::int32_t y, std::int32_t end) { done_[static_cast<std::size_t>(y)].store(end, std::memory_order_release); }
    void fail() { failed_.store(true, std::memory_order_relaxed); }

private:
    std::int32_t width_;
    std::int32_t height_;
    std::unique_ptr<std::atomic<std::int32_t>[]> done_;
    std::atomic<std::int32_t> next_{0};
    std::atomic<bool> failed_{false};
};

template <int Channels, class Map>
bool mapRowInBlocks(const Spreader<Channels>& s, std::uint8_t* work, std::int64_t workStride, std::int32_t width,
                    std::int32_t height, std::int32_t y, std::uint8_t* out, Map& map, RowProgress& progress)
{
    std::uint8_t* row = work + y * workStride;
    std::uint8_t* next = y + 1 < height ? row + workStride : nullptr;
    for (std::int32_t first = 0; first < width;) {
        const std::int32_t end = width - first > RowProgress::kBlock ? first + RowProgress::kBlock : width;
        if (!progress.waitAbove(y, end))
            return false;
        mapSpan(s, row, next, width, first, end, out, map);
        progress.mapped(y, end);
        first = end;
    }
    return true;
}

// Rows taken in turn by the calling thread and every lent core, each
// thread with a map of its own from makeMap().
template <int Channels, class MakeMap>
void diffuseSideBySide(const Spreader<Channels>& s, const PixelConverter& converter, std::uint8_t* work,
                       std::int64_t workStride, IndexRows& out, MakeMap& makeMap)
{
    const std::int32_t width = converter.width;
    const std::int32_t height = converter.height;
    RowProgress progress(width, height);
    platform::RunParts(static_cast<std::size_t>(std::min(height, RowProgress::kMostThreads)), [&](std::size_t) {
        std::int32_t y = progress.take();
        if (y < 0)
            return;
        try {
            auto map = makeMap();
            std::vector<std::uint8_t> own(out.packs() ? static_cast<std::size_t>(width) : 0);
            for (; y >= 0; y = progress.take()) {
                if (!mapRowInBlocks(s, work, workStride, width, height, y, out.row(y, own.data()), map, progress))
                    return;
                out.finish(y, width, own.data());
            }
        } catch (...) {
            progress.fail();
            throw;
        }
    });
}

// Whether the picture is worth mapping on lent cores; the same bytes come
// either way.
bool worthMappingSideBySide(std::int32_t width, std::int32_t height);

// makeMap() gives a map(pixel, error) that returns the pixel's index and
// sets its error; a thread that maps rows uses one of its own.
template <int Channels, class MakeMap>
void diffuse(const PixelConverter& converter, std::uint8_t* work, std::int64_t workStride, IndexRows& out,
             MakeMap makeMap)
{
    const Spreader<Channels> spreader{converter.clamp.data() + 255, converter.share1, converter.share3,
                                      converter.share5, converter.share7};
    if (worthMappingSideBySide(converter.width, converter.height)) {
        diffuseSideBySide(spreader, converter, work, workStride, out, makeMap);
        return;
    }
    auto map = makeMap();
    const std::int32_t height = converter.height;
    for (std::int32_t y = 0; y < height; ++y) {
        std::uint8_t* row = work + y * workStride;
        mapSpan(spreader, row, y + 1 < height ? row + workStride : nullptr, converter.width, 0, converter.width,
                out.row(y), map);
        out.finish(y, converter.width);
    }
}

// sourceBits 8 or 24 to black and white by a grey threshold of 128, the
// error diffused; palette entry 0 black, 1 white.
bool reduceTwoLevels(PixelConverter& converter, IndexRows& out);

}  // namespace vrelk
