#include "pixel/error_diffusion.h"

#include <algorithm>

#include "pixel/bit_depth.h"
#include "pixel/colour_reduce.h"
#include "pixel/palette_builder.h"
#include "platform/platform.h"

namespace vrelk {

namespace {

// Below this many pixels, starting threads costs more than they save.
constexpr std::int64_t kLeastSideBySidePixels = std::int64_t{1} << 14;

}  // namespace

bool worthMappingSideBySide(std::int32_t width, std::int32_t height)
{
    return height > 1 && platform::currentPictureCores().slots != nullptr &&
           std::int64_t{width} * height >= kLeastSideBySidePixels;
}

RowProgress::RowProgress(std::int32_t width, std::int32_t height)
    : width_(width), height_(height), done_(std::make_unique<std::atomic<std::int32_t>[]>(static_cast<std::size_t>(height)))
{
}

std::int32_t RowProgress::take()
{
    const std::int32_t y = next_.fetch_add(1, std::memory_order_relaxed);
    return y < height_ ? y : -1;
}

bool RowProgress::waitAbove(std::int32_t y, std::int32_t end) const
{
    if (y == 0)
        return true;
    const std::int32_t needed = width_ - end > 2 ? end + 2 : width_;
    const std::atomic<std::int32_t>& above = done_[static_cast<std::size_t>(y - 1)];
    platform::SpinUntil(
        [&] { return above.load(std::memory_order_acquire) >= needed || failed_.load(std::memory_order_relaxed); });
    return above.load(std::memory_order_acquire) >= needed;
}

bool reduceTwoLevels(PixelConverter& converter, IndexRows& out)
{
    const std::size_t size = static_cast<std::size_t>(converter.width) * static_cast<std::size_t>(converter.height);
    PageBuffer grey = PageBuffer::allocate(size);
    if (!grey)
        return false;
    PixelConverter greyConverter;
    greyConverter.width = converter.width;
    greyConverter.height = converter.height;
    greyConverter.sourceBits = converter.sourceBits;
    greyConverter.targetBits = 8;
    if (!convertToGrey(greyConverter, converter.sourcePalette, converter.sourcePixels, grey.data()).ok())
        return false;
    setColour(converter.targetPalette[0], 0, 0, 0);
    setColour(converter.targetPalette[1], 255, 255, 255);
    diffuse<1>(converter, grey.data(), converter.width, out, [] {
        return [](const std::uint8_t* p, int* error) {
            const int v = p[0];
            const int bit = v >> 7;
            error[0] = v - 255 * bit;
            return static_cast<std::uint8_t>(bit);
        };
    });
    return true;
}

void buildDiffusionTables(PixelConverter& converter)
{
    for (int i = -255; i <= 512; ++i)
        converter.clamp[static_cast<std::size_t>(i + 255)] = static_cast<std::uint8_t>(std::clamp(i, 0, 255));
    for (int e = -255; e <= 255; ++e) {
        converter.share1[e] = e >> 4;
        converter.share3[e] = (3 * e) >> 4;
        converter.share5[e] = (5 * e) >> 4;
        converter.share7[e] = (7 * e) >> 4;
    }
}

}  // namespace vrelk
