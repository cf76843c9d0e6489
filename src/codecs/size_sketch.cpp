#include "codecs/size_sketch.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "picture/picture.h"

namespace vrelk {
namespace {

// Bands of two JPEG and WebP macroblock rows, so that the blocks of a
// sketch are blocks of the picture and half of them are predicted from
// their own neighbours, as in the picture; one band in eight.
constexpr std::int32_t kBandRows = 32;
constexpr std::int32_t kBandEvery = 8;
// Below this many rows or pixels a trial costs too little to aim.
constexpr std::int32_t kLeastRows = 1024;
constexpr std::int64_t kLeastPixels = std::int64_t{1} << 20;

}  // namespace

bool SketchOf(std::int32_t width, std::int32_t height, const std::uint8_t* pixels, SketchPicture& sketch)
{
    if (height < kLeastRows || std::int64_t{width} * height < kLeastPixels)
        return false;
    const auto stride = static_cast<std::size_t>(rowLayout(width, 1, 24).stride);
    const std::int32_t step = kBandRows * kBandEvery;
    const std::int32_t bands = (height + step - 1) / step;
    sketch.height = 0;
    for (std::int32_t band = 0; band < bands; ++band)
        sketch.height += std::min(kBandRows, height - band * step);
    try {
        sketch.pixels.resize(stride * static_cast<std::size_t>(sketch.height));
    } catch (const std::bad_alloc&) {
        return false;
    }
    // Rows counted from the top; both pictures keep their top row last.
    std::int32_t to = 0;
    for (std::int32_t band = 0; band < bands; ++band)
        for (std::int32_t y = band * step; y < std::min(band * step + kBandRows, height); ++y, ++to)
            std::memcpy(sketch.pixels.data() + static_cast<std::size_t>(sketch.height - 1 - to) * stride,
                        pixels + static_cast<std::size_t>(height - 1 - y) * stride, stride);
    sketch.share = static_cast<double>(sketch.height) / height;
    return true;
}

}  // namespace vrelk
