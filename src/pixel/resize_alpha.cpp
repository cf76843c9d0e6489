#include "pixel/resize_alpha.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "picture/checked.h"
#include "pixel/filter.h"

namespace vrelk {
namespace {

// The source pixels a target pixel of a line covers, each with the share
// of the target it covers: target j of n spans [j m / n, (j + 1) m / n).
struct Taps {
    std::vector<std::int32_t> first;  // per target: first source pixel
    std::vector<std::size_t> start;   // per target, and one past: its weights
    std::vector<double> weight;
};

Taps planTaps(std::int32_t m, std::int32_t n)
{
    Taps taps;
    taps.first.reserve(static_cast<std::size_t>(n));
    taps.start.reserve(static_cast<std::size_t>(n) + 1);
    const std::int64_t length = m;
    for (std::int64_t j = 0; j < n; ++j) {
        const std::int64_t from = j * m, to = (j + 1) * m;  // in 1/n of a source pixel
        taps.first.push_back(static_cast<std::int32_t>(from / n));
        taps.start.push_back(taps.weight.size());
        for (std::int64_t i = from / n; i * n < to; ++i) {
            const std::int64_t covered = std::min(to, (i + 1) * n) - std::max(from, i * n);
            taps.weight.push_back(static_cast<double>(covered) / static_cast<double>(length));
        }
    }
    taps.start.push_back(taps.weight.size());
    return taps;
}

// One row reduced across into premultiplied sums: alpha, then blue, green
// and red each times alpha, four to a target pixel.
void reduceAcross(const Taps& taps, const std::uint8_t* row, double* out)
{
    const std::size_t targets = taps.first.size();
    for (std::size_t j = 0; j < targets; ++j, out += 4) {
        double a = 0, b = 0, g = 0, r = 0;
        const std::uint8_t* p = row + 4 * static_cast<std::int64_t>(taps.first[j]);
        for (std::size_t k = taps.start[j]; k < taps.start[j + 1]; ++k, p += 4) {
            const double wa = taps.weight[k] * p[3];
            a += wa;
            b += wa * p[0];
            g += wa * p[1];
            r += wa * p[2];
        }
        out[0] = a;
        out[1] = b;
        out[2] = g;
        out[3] = r;
    }
}

std::uint8_t toByte(double v) { return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

// Premultiplied sums back to straight samples; where nothing shows the
// colour is black.
void unpremultiply(const double* sums, std::uint8_t* out, std::size_t pixels)
{
    for (std::size_t x = 0; x < pixels; ++x, sums += 4, out += 4) {
        const double a = sums[0];
        const double scale = a > 0 ? 1.0 / a : 0.0;
        out[0] = toByte(sums[1] * scale);
        out[1] = toByte(sums[2] * scale);
        out[2] = toByte(sums[3] * scale);
        out[3] = toByte(a);
    }
}

bool holdsBgra(const Picture& image)
{
    const RowLayout rows = rowLayout(image.width, image.height, 32);
    return image.layout == PixelLayout::bgra32 && image.width > 0 && image.height > 0 &&
           image.stride == rows.stride && static_cast<std::uint64_t>(rows.imageSize) <= image.pixels.size();
}

}  // namespace

Status resizeWithAlpha(Picture& image, std::int32_t newWidth, std::int32_t newHeight)
{
    if (!holdsBgra(image) || !dimensionsAllowed(newWidth, newHeight))
        return CodecError::unsupported;
    return withoutExceptions([&]() -> Status {
        const Taps across = planTaps(image.width, newWidth);
        const Taps down = planTaps(image.height, newHeight);
        Result<Picture> reduced = allocatePicture(newWidth, newHeight, PixelLayout::bgra32);
        if (!reduced)
            return reduced.error();
        const auto samples = static_cast<std::size_t>(newWidth) * 4;
        std::unique_ptr<double[]> row = tryAllocateArray<double>(samples);
        std::unique_ptr<double[]> sums = tryAllocateArray<double>(samples);
        if (!row || !sums)
            return CodecError::noMemory;
        for (std::size_t j = 0; j < down.first.size(); ++j) {
            std::fill_n(sums.get(), samples, 0.0);
            std::int64_t y = down.first[j];
            for (std::size_t k = down.start[j]; k < down.start[j + 1]; ++k, ++y) {
                reduceAcross(across, image.pixels.data() + y * image.stride, row.get());
                for (std::size_t s = 0; s < samples; ++s)
                    sums[s] += down.weight[k] * row[s];
            }
            unpremultiply(sums.get(), reduced->pixels.data() + static_cast<std::int64_t>(j) * reduced->stride,
                          static_cast<std::size_t>(newWidth));
        }
        reduced->meta = std::move(image.meta);
        image = std::move(*reduced);
        return {};
    });
}

namespace {

constexpr int kRadius = 2;

// Five-row sums of alpha and of each colour times alpha, four to a pixel,
// edge rows repeated.
void sumWindowColumns(const Picture& image, std::int32_t y, std::uint32_t* sums)
{
    const auto width = static_cast<std::size_t>(image.width);
    std::fill_n(sums, 4 * width, 0u);
    for (int k = -kRadius; k <= kRadius; ++k) {
        const std::int64_t row = std::clamp(y + k, 0, image.height - 1);
        const std::uint8_t* p = image.pixels.data() + row * image.stride;
        for (std::size_t x = 0; x < width; ++x, p += 4) {
            const std::uint32_t a = p[3];
            std::uint32_t* s = sums + 4 * x;
            s[0] += a;
            s[1] += a * p[0];
            s[2] += a * p[1];
            s[3] += a * p[2];
        }
    }
}

// One row sharpened against its alpha-weighted 5 x 5 blur. A pixel whose
// window shows nothing keeps its colour.
void sharpenRow(const std::uint32_t* sums, const std::uint8_t* in, std::uint8_t* out, std::int32_t width,
                const std::int16_t* scaled, const std::uint8_t* clampBase)
{
    for (std::int32_t x = 0; x < width; ++x, in += 4, out += 4) {
        std::uint32_t window[4] = {0, 0, 0, 0};
        for (int k = -kRadius; k <= kRadius; ++k) {
            const std::uint32_t* s = sums + 4 * std::clamp(x + k, 0, width - 1);
            for (int c = 0; c < 4; ++c)
                window[c] += s[c];
        }
        int detail[3] = {0, 0, 0};
        const std::uint32_t shown = window[0];
        for (int c = 0; c < 3 && shown > 0 && in[3] > 0; ++c) {
            const auto blur = static_cast<int>((window[c + 1] + shown / 2) / shown);
            detail[c] = std::clamp(in[c] - blur, -128, 127);
        }
        const int strength = std::abs(detail[0]) + std::abs(detail[1]) + std::abs(detail[2]);
        const int keep = -static_cast<int>(strength > kSharpenThreshold);
        for (int c = 0; c < 3; ++c)
            out[c] = clampBase[in[c] + (scaled[detail[c]] & keep)];
        out[3] = in[3];
    }
}

}  // namespace

Status sharpenWithAlpha(Picture& image, const LookupTables& tables)
{
    if (!holdsBgra(image) || !tables.clampBase)
        return CodecError::unsupported;
    if (image.width < kFilterMinSize || image.height < kFilterMinSize)
        return {};
    Result<Picture> sharpened = allocatePicture(image.width, image.height, PixelLayout::bgra32);
    if (!sharpened)
        return sharpened.error();
    std::unique_ptr<std::uint32_t[]> sums = tryAllocateArray<std::uint32_t>(4 * static_cast<std::size_t>(image.width));
    if (!sums)
        return CodecError::noMemory;
    const std::int16_t* scaled = tables.scaledDiffTable.front().data() + kSharpenEighths * 256 + 128;
    for (std::int32_t y = 0; y < image.height; ++y) {
        sumWindowColumns(image, y, sums.get());
        sharpenRow(sums.get(), image.pixels.data() + y * image.stride,
                   sharpened->pixels.data() + y * sharpened->stride, image.width, scaled, tables.clampBase);
    }
    sharpened->meta = std::move(image.meta);
    image = std::move(*sharpened);
    return {};
}

}  // namespace vrelk
