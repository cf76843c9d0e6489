#include "convert/convert_memory.h"

#include <algorithm>
#include <array>

#include "codecs/decode_memory.h"

namespace vrelk {
namespace {

std::uint64_t pixelsOf(std::int64_t width, std::int64_t height)
{
    return multiplyNeeds(static_cast<std::uint64_t>(std::max<std::int64_t>(width, 0)),
                         static_cast<std::uint64_t>(std::max<std::int64_t>(height, 0)));
}

std::uint64_t need(const Picture& image) { return pictureNeed(image.width, image.height, image.bits()); }
std::uint64_t need24(std::int64_t width, std::int64_t height) { return pictureNeed(width, height, 24); }

// What each writer holds besides the picture, in bytes per pixel, with
// and without a size target; the target's search runs two trials at once.
// JPEG: libjpeg's whole-picture coefficients for optimised tables (6 at
// 1:1 sampling), and under a target the trials' coefficients, their
// output buffers and the component planes. GIF: the indices, their file
// order, the LZW bound and its sub-blocks. WebP: libwebp's YUV picture,
// its encoder's tokens and its output (16 measured on a 12 MP photo of
// noise), twice under a target. PNG: the filtered rows
// and their compressed copy, each as large as the picture. GIF reduces a
// picture with alpha from its 24-bit form over white.
struct WriterWork {
    std::int32_t outputType;
    bool widensTo24;
    std::uint32_t perPixel;
    std::uint32_t perPixelWithTarget;
    std::uint32_t pictureCopies;
};

constexpr std::array<WriterWork, 5> kWriterWork{{
    {kOutputBmp, false, 0, 0, 0},
    {kOutputPng, false, 0, 0, 2},
    {kOutputJpeg, true, 6, 21, 0},
    {kOutputGif, false, 6, 6, 0},
    {kOutputWebp, true, 16, 40, 0},
}};

}  // namespace

std::uint64_t settlingNeed(const Picture& image)
{
    const std::uint64_t picture = need(image);
    return image.meta.iccProfile.empty() ? picture : addNeeds(picture, need24(image.width, image.height));
}

std::uint64_t reductionNeed(const Picture& image, const ConvertOptions& options)
{
    const std::optional<ImageSize> wanted = reducedSize(image.width, image.height, options.resizeMode, options.resizeSize, options.boxHeight);
    if (!wanted)
        return need(image);
    // A picture with alpha is reduced as it is, in 32 bits.
    if (image.layout == PixelLayout::bgra32)
        return addNeeds(need(image), multiplyNeeds(pictureNeed(wanted->width, wanted->height, 32), 2));
    const std::uint64_t reduced = need24(wanted->width, wanted->height);
    return addNeeds(addNeeds(need(image), need24(image.width, image.height)), multiplyNeeds(reduced, 2));
}

std::uint64_t writingNeed(const Picture& image, std::int32_t outputType, bool toSizeTarget)
{
    const auto work = std::find_if(kWriterWork.begin(), kWriterWork.end(),
                                   [&](const WriterWork& w) { return w.outputType == outputType; });
    std::uint64_t total = need(image);
    if (work == kWriterWork.end())
        return total;
    const bool flattened = work->outputType == kOutputGif && image.layout == PixelLayout::bgra32;
    if ((work->widensTo24 || flattened) && image.bits() != 24)
        total = addNeeds(total, need24(image.width, image.height));
    const std::uint32_t perPixel = toSizeTarget ? work->perPixelWithTarget : work->perPixel;
    total = addNeeds(total, multiplyNeeds(pixelsOf(image.width, image.height), perPixel));
    return addNeeds(total, multiplyNeeds(need(image), work->pictureCopies));
}

}  // namespace vrelk
