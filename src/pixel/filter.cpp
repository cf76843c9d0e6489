#include "pixel/filter.h"

#include <algorithm>
#include <atomic>
#include <array>
#include <cstdlib>
#include <memory>
#include <new>

#include "platform/picture_cores.h"

namespace vrelk {
namespace {

constexpr int kRadius = 2;

// The five rows of the window around row y, edge rows repeated: a
// replicated row simply appears more than once.
std::array<const std::uint8_t*, 5> windowRows(const FilterJob& job, std::int32_t y)
{
    std::array<const std::uint8_t*, 5> rows{};
    for (int k = 0; k < 5; ++k) {
        const std::int32_t row = std::clamp(y - kRadius + k, 0, job.height - 1);
        rows[static_cast<std::size_t>(k)] = job.source + static_cast<std::int64_t>(row) * job.stride;
    }
    return rows;
}

// Five-row column sums of every sample of one output row.
void sumColumns(const std::array<const std::uint8_t*, 5>& rows, std::uint16_t* sums, std::size_t samples)
{
    for (std::size_t k = 0; k < samples; ++k)
        sums[k] = static_cast<std::uint16_t>(rows[0][k] + rows[1][k] + rows[2][k] + rows[3][k] + rows[4][k]);
}

// Horizontal five-pixel sums of the column sums, divided by 25. The two
// pixels at each end fold the replicated edge pixel into its weight; the
// loop between them needs no clamping.
void blurRow(const std::uint16_t* sums, std::uint8_t* out, std::int32_t width, const std::uint8_t* div25)
{
    const std::size_t last = static_cast<std::size_t>(width - 1) * 3;
    for (std::size_t c = 0; c < 3; ++c) {
        const std::uint16_t* s = sums + c;
        out[c] = div25[3 * s[0] + s[3] + s[6]];
        out[3 + c] = div25[2 * s[0] + s[3] + s[6] + s[9]];
        out[last - 3 + c] = div25[s[last - 9] + s[last - 6] + s[last - 3] + 2 * s[last]];
        out[last + c] = div25[s[last - 6] + s[last - 3] + 3 * s[last]];
    }
    const std::size_t end = last - 3;
    for (std::size_t k = 6; k < end; ++k)
        out[k] = div25[sums[k - 6] + sums[k - 3] + sums[k] + sums[k + 3] + sums[k + 6]];
}

void sharpenRows(const FilterJob& job, std::int64_t first, std::int64_t end)
{
    const std::int16_t* scaled = job.scaledDiff + kSharpenEighths * 256 + 128;
    for (std::int64_t y = first; y < end; ++y) {
        const std::int64_t offset = y * job.stride;
        const std::uint8_t* source = job.source + offset;
        const auto* detail = reinterpret_cast<const std::int8_t*>(job.detail + offset);
        std::uint8_t* out = job.output + offset;
        for (std::int32_t x = 0; x < job.width; ++x, source += 3, detail += 3, out += 3) {
            const int strength = std::abs(detail[0]) + std::abs(detail[1]) + std::abs(detail[2]);
            // All ones when the pixel is sharpened; clampBase[v] is v for 0..255.
            const int keep = -static_cast<int>(strength > kSharpenThreshold);
            out[0] = job.clampBase[source[0] + (scaled[detail[0]] & keep)];
            out[1] = job.clampBase[source[1] + (scaled[detail[1]] & keep)];
            out[2] = job.clampBase[source[2] + (scaled[detail[2]] & keep)];
        }
    }
}

}  // namespace

Status blurImage(const FilterJob& job)
{
    const auto samples = static_cast<std::size_t>(job.width) * 3;
    std::atomic<bool> done{true};
    platform::ForRowRanges(job.height, job.stride, [&](std::int64_t first, std::int64_t end) {
        std::unique_ptr<std::uint16_t[]> sums = tryAllocateArray<std::uint16_t>(samples);
        if (!sums) {
            done = false;
            return;
        }
        for (auto y = static_cast<std::int32_t>(first); y < end; ++y) {
            sumColumns(windowRows(job, y), sums.get(), samples);
            blurRow(sums.get(), job.output + static_cast<std::int64_t>(y) * job.stride, job.width, job.div25);
        }
    });
    return done ? Status{} : Status{CodecError::noMemory};
}

void computeDetail(const FilterJob& job)
{
    const auto samples = static_cast<std::size_t>(job.width) * 3;
    platform::ForRowRanges(job.height, job.stride, [&](std::int64_t first, std::int64_t end) {
        for (std::int64_t y = first; y < end; ++y) {
            const std::int64_t offset = y * job.stride;
            const std::uint8_t* source = job.source + offset;
            const std::uint8_t* blur = job.output + offset;
            std::uint8_t* detail = job.detail + offset;
            for (std::size_t k = 0; k < samples; ++k) {
                const int difference = std::clamp(source[k] - blur[k], -128, 127);
                detail[k] = static_cast<std::uint8_t>(static_cast<std::int8_t>(difference));
            }
        }
    });
}

void sharpenImage(const FilterJob& job)
{
    platform::ForRowRanges(job.height, job.stride,
                           [&](std::int64_t first, std::int64_t end) { sharpenRows(job, first, end); });
}

Status filterReducedImage(FilterJob& job, Picture& image, const LookupTables& tables, std::int64_t imageSize)
{
    if (image.width < kFilterMinSize || image.height < kFilterMinSize)
        return {};
    const RowLayout layout = rowLayout(image.width, image.height, 24);
    if (image.layout != PixelLayout::bgr24 || imageSize != layout.imageSize ||
        static_cast<std::uint64_t>(imageSize) > image.pixels.size() || !tables.clampBase)
        return CodecError::unsupported;

    const auto bytes = static_cast<std::size_t>(imageSize);
    PageBuffer output = PageBuffer::allocate(bytes);
    PageBuffer detail = PageBuffer::allocate(bytes);
    if (!output || !detail)
        return CodecError::noMemory;

    job = FilterJob{image.width,
                    image.height,
                    static_cast<std::int32_t>(layout.stride),
                    image.pixels.data(),
                    output.data(),
                    detail.data(),
                    tables.div25Table.data(),
                    tables.scaledDiffTable.front().data(),
                    tables.clampBase};
    const Status blurred = blurImage(job);
    if (blurred) {
        computeDetail(job);
        sharpenImage(job);
        image.pixels = std::move(output);
    }
    job.source = job.output = job.detail = nullptr;
    return blurred;
}

}  // namespace vrelk
