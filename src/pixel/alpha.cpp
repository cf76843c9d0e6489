#include "pixel/alpha.h"

#include <algorithm>
#include <utility>

namespace vrelk {
namespace {

bool isIndexed8(const Picture& image)
{
    return image.layout == PixelLayout::palette8 || image.layout == PixelLayout::grey8;
}

bool holdsItsRows(const Picture& image)
{
    const RowLayout rows = rowLayout(image.width, image.height, image.bits());
    return image.width > 0 && image.height > 0 && image.stride == rows.stride && image.pixels &&
           static_cast<std::uint64_t>(rows.imageSize) <= image.pixels.size();
}

// A bgra32 picture of the same size that takes over the description.
Result<Picture> bgraLike(const Picture& image)
{
    Result<Picture> made = allocatePicture(image.width, image.height, PixelLayout::bgra32);
    if (made)
        made->meta = image.meta;
    return made;
}

void indexRowToBgra(const std::uint8_t* in, std::uint8_t* out, std::int32_t width, const Palette& palette,
                    const IndexAlpha& alpha)
{
    for (std::int32_t x = 0; x < width; ++x, out += 4) {
        const RgbQuad& c = palette[in[x]];
        out[0] = c.rgbBlue;
        out[1] = c.rgbGreen;
        out[2] = c.rgbRed;
        out[3] = alpha[in[x]];
    }
}

void indexRowWithPlane(const std::uint8_t* in, const std::uint8_t* a, std::uint8_t* out, std::int32_t width,
                       const Palette& palette)
{
    for (std::int32_t x = 0; x < width; ++x, out += 4) {
        const RgbQuad& c = palette[in[x]];
        out[0] = c.rgbBlue;
        out[1] = c.rgbGreen;
        out[2] = c.rgbRed;
        out[3] = a[x];
    }
}

void bgrRowWithPlane(const std::uint8_t* in, const std::uint8_t* a, std::uint8_t* out, std::int32_t width)
{
    for (std::int32_t x = 0; x < width; ++x, in += 3, out += 4) {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2];
        out[3] = a[x];
    }
}

void compositeRow(const std::uint8_t* in, std::uint8_t* out, std::int32_t width, const LookupTables& tables)
{
    const auto& blend = tables.blendTable;
    for (std::int32_t x = 0; x < width; ++x, in += 4, out += 3) {
        const std::uint8_t a = in[3];
        const int white = blend[255 - a][255];
        for (int c = 0; c < 3; ++c)
            out[c] = static_cast<std::uint8_t>(std::min(blend[a][in[c]] + white, 255));
    }
}

template <class RowStep>
Status replaceRows(Picture& image, RowStep step)
{
    Result<Picture> made = bgraLike(image);
    if (!made)
        return made.error();
    for (std::int64_t y = 0; y < image.height; ++y)
        step(image.pixels.data() + y * image.stride, made->pixels.data() + y * made->stride, y);
    image = std::move(*made);
    return {};
}

}  // namespace

bool hasTransparency(const Picture& image)
{
    if (image.layout != PixelLayout::bgra32 || !holdsItsRows(image))
        return false;
    for (std::int64_t y = 0; y < image.height; ++y) {
        const std::uint8_t* row = image.pixels.data() + y * image.stride;
        std::uint8_t lowest = 255;
        for (std::int32_t x = 0; x < image.width; ++x)
            lowest = std::min(lowest, row[4 * x + 3]);
        if (lowest != 255)
            return true;
    }
    return false;
}

bool usesTransparentIndex(const Picture& indexed, const IndexAlpha& alpha)
{
    if (!isIndexed8(indexed) || !holdsItsRows(indexed))
        return false;
    std::array<bool, 256> used{};
    for (std::int64_t y = 0; y < indexed.height; ++y) {
        const std::uint8_t* row = indexed.pixels.data() + y * indexed.stride;
        for (std::int32_t x = 0; x < indexed.width; ++x)
            used[row[x]] = true;
    }
    for (std::size_t i = 0; i < used.size(); ++i)
        if (used[i] && alpha[i] != 255)
            return true;
    return false;
}

bool planeHasTransparency(std::span<const std::uint8_t> plane)
{
    return std::any_of(plane.begin(), plane.end(), [](std::uint8_t a) { return a != 255; });
}

Status addIndexAlpha(Picture& image, const IndexAlpha& alpha)
{
    if (!isIndexed8(image) || !holdsItsRows(image))
        return CodecError::unsupported;
    const Palette palette = image.palette;
    const std::int32_t width = image.width;
    return replaceRows(image, [&](const std::uint8_t* in, std::uint8_t* out, std::int64_t) {
        indexRowToBgra(in, out, width, palette, alpha);
    });
}

Status addAlphaPlane(Picture& image, std::span<const std::uint8_t> plane)
{
    const bool indexed = isIndexed8(image);
    if ((!indexed && image.layout != PixelLayout::bgr24) || !holdsItsRows(image) ||
        plane.size() < static_cast<std::uint64_t>(image.width) * static_cast<std::uint64_t>(image.height))
        return CodecError::unsupported;
    const Palette palette = image.palette;
    const std::int32_t width = image.width;
    return replaceRows(image, [&](const std::uint8_t* in, std::uint8_t* out, std::int64_t y) {
        const std::uint8_t* a = plane.data() + y * width;
        if (indexed)
            indexRowWithPlane(in, a, out, width, palette);
        else
            bgrRowWithPlane(in, a, out, width);
    });
}

Status compositeAlphaOverWhite(Picture& image, const LookupTables& tables)
{
    if (image.layout != PixelLayout::bgra32)
        return {};
    if (!holdsItsRows(image))
        return CodecError::unsupported;
    Result<Picture> made = allocatePicture(image.width, image.height, PixelLayout::bgr24);
    if (!made)
        return made.error();
    made->meta = std::move(image.meta);
    for (std::int64_t y = 0; y < image.height; ++y)
        compositeRow(image.pixels.data() + y * image.stride, made->pixels.data() + y * made->stride, image.width,
                     tables);
    image = std::move(*made);
    return {};
}

}  // namespace vrelk
