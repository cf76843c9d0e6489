#include <algorithm>
#include <array>
#include <new>

#include "codecs/jpeg_encode.h"

namespace vrelk {
namespace {

constexpr int kScaleBits = 16;
constexpr std::int32_t fix(double x) { return static_cast<std::int32_t>(x * (1 << kScaleBits) + 0.5); }
constexpr std::int32_t kHalf = 1 << (kScaleBits - 1);
constexpr std::int32_t kChromaOffset = (128 << kScaleBits) + kHalf - 1;

// Y, Cb and Cr of one row of blue-green-red pixels.
void convertRow(const std::uint8_t* bgr, std::size_t width, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr)
{
    for (std::size_t x = 0; x < width; ++x, bgr += 3) {
        const std::int32_t b = bgr[0], g = bgr[1], r = bgr[2];
        y[x] = static_cast<std::uint8_t>((fix(0.29900) * r + fix(0.58700) * g + fix(0.11400) * b + kHalf) >> kScaleBits);
        cb[x] = static_cast<std::uint8_t>((-fix(0.16874) * r - fix(0.33126) * g + fix(0.5) * b + kChromaOffset) >> kScaleBits);
        cr[x] = static_cast<std::uint8_t>((fix(0.5) * r - fix(0.41869) * g - fix(0.08131) * b + kChromaOffset) >> kScaleBits);
    }
}

void padRight(std::uint8_t* row, std::size_t used, std::size_t width)
{
    std::fill(row + used, row + width, row[used - 1]);
}

// One chroma output row from `factor` full-resolution rows (1 or 2) of
// `2 * width` samples, or a copy when the chroma is not subsampled across.
void downsampleRow(const std::uint8_t* first, const std::uint8_t* second, std::size_t width, int across, int down,
                   std::uint8_t* out)
{
    if (across == 1) {
        std::copy(first, first + width, out);
        return;
    }
    if (down == 1) {
        for (std::size_t x = 0; x < width; ++x)
            out[x] = static_cast<std::uint8_t>((first[2 * x] + first[2 * x + 1] + (x & 1)) >> 1);
        return;
    }
    for (std::size_t x = 0; x < width; ++x)
        out[x] = static_cast<std::uint8_t>(
            (first[2 * x] + first[2 * x + 1] + second[2 * x] + second[2 * x + 1] + 1 + (x & 1)) >> 2);
}

std::size_t blocksFor(std::size_t samples, std::size_t factor) { return (samples + 8 * factor - 1) / (8 * factor); }

}  // namespace

bool buildPlanes(std::int32_t imageWidth, std::int32_t imageHeight, const std::uint8_t* pixels,
                 const JpegEncoding& encoding, ComponentPlanes& planes)
{
    const auto width = static_cast<std::size_t>(imageWidth);
    const auto height = static_cast<std::size_t>(imageHeight);
    const auto across = static_cast<std::size_t>(encoding.horizontalSampling);
    const auto down = static_cast<std::size_t>(encoding.verticalSampling);
    const std::size_t imcuRows = blocksFor(height, down);
    planes.rowsPerImcu = static_cast<int>(8 * down);
    planes.width = {8 * blocksFor(width, 1), 8 * blocksFor(width, across), 8 * blocksFor(width, across)};
    planes.height = {8 * down * imcuRows, 8 * imcuRows, 8 * imcuRows};
    // Full-resolution chroma rows, wide enough for the widest downsampled row.
    const std::size_t fullWidth = std::max(planes.width[0], across * planes.width[1]);
    std::vector<std::uint8_t> chroma;
    try {
        for (std::size_t c = 0; c < 3; ++c)
            planes.samples[c].resize(planes.width[c] * planes.height[c]);
        chroma.resize(4 * fullWidth);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const std::size_t stride = static_cast<std::size_t>(rowLayout(imageWidth, 1, 24).stride);
    const std::uint8_t* top = pixels + (height - 1) * stride;
    std::array<std::uint8_t*, 2> cb{chroma.data(), chroma.data() + fullWidth};
    std::array<std::uint8_t*, 2> cr{chroma.data() + 2 * fullWidth, chroma.data() + 3 * fullWidth};
    // Row groups of `down` picture rows make one chroma row; the last group
    // repeats the picture's last row when the height is odd.
    for (std::size_t group = 0; group * down < height; ++group) {
        for (std::size_t i = 0; i < down; ++i) {
            const std::size_t y = std::min(group * down + i, height - 1);
            std::uint8_t* luma = planes.samples[0].data() + std::min(group * down + i, planes.height[0] - 1) * planes.width[0];
            convertRow(top - y * stride, width, luma, cb[i], cr[i]);
            padRight(luma, width, planes.width[0]);
            padRight(cb[i], width, fullWidth);
            padRight(cr[i], width, fullWidth);
        }
        downsampleRow(cb[0], cb[1], planes.width[1], static_cast<int>(across), static_cast<int>(down),
                      planes.samples[1].data() + group * planes.width[1]);
        downsampleRow(cr[0], cr[1], planes.width[2], static_cast<int>(across), static_cast<int>(down),
                      planes.samples[2].data() + group * planes.width[2]);
    }
    // Whole iMCU rows at the bottom, repeating each plane's last real row.
    const std::array<std::size_t, 3> used{height, (height + down - 1) / down, (height + down - 1) / down};
    for (std::size_t c = 0; c < 3; ++c) {
        std::uint8_t* data = planes.samples[c].data();
        for (std::size_t y = used[c]; y < planes.height[c]; ++y)
            std::copy(data + (used[c] - 1) * planes.width[c], data + used[c] * planes.width[c], data + y * planes.width[c]);
    }
    return true;
}

}  // namespace vrelk
