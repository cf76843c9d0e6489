#include "pixel/resize.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <vector>

#include "pixel/bit_depth.h"
#include "pixel/resize_alpha.h"
#include "platform/picture_cores.h"

namespace vrelk {
namespace {

// One source pixel is this long in the averaging's 15-bit fixed point.
constexpr std::int64_t kUnit = 32768;
constexpr int kUnitShift = 15;
constexpr std::uint32_t kWeightOne = 65536;

std::int64_t stride24(std::int32_t width) { return rowLayout(width, 1, 24).stride; }

// Where each target pixel of a reduced line ends: the source pixel that
// completes it and how far (b units) that pixel reaches past its end. The
// target takes the carry of the previous one, every source pixel after the
// previous end up to `last`, less the part of `last` carried on.
struct AreaSpan {
    std::int32_t last = 0;
    std::uint32_t overhang = 0;
};

struct AreaPlan {
    std::vector<AreaSpan> spans;
    std::vector<std::uint8_t> divide;  // divide[i] = i / ratio, truncated
};

// Plans a reduction of m source pixels to n < m target pixels. The span
// s of a target pixel is truncated, so it never exceeds m / n source
// pixels; every source pixel but the last completes at most one target
// (s > 32768) and for n <= 25000 exactly n - 1 of them do. The plan is
// checked anyway, so that a line can never write past n pixels.
bool planAreaReduction(std::int32_t m, std::int32_t n, AreaPlan& plan)
{
    const double ratio = static_cast<double>(m) / n;
    const auto span = static_cast<std::int64_t>(ratio * kUnit);
    if (span <= kUnit)
        return false;

    plan.spans.assign(static_cast<std::size_t>(n), AreaSpan{});
    std::int32_t done = 0;
    std::int64_t position = 0;
    for (std::int32_t i = 0; i + 1 < m; ++i) {
        position += kUnit;
        if (position < span)
            continue;
        if (done == n - 1)
            return false;
        position -= span;
        plan.spans[static_cast<std::size_t>(done++)] = {i, static_cast<std::uint32_t>(position)};
    }
    if (done != n - 1)
        return false;
    position += kUnit;
    auto overhang = static_cast<std::uint32_t>(position >= span ? position - span : 0);
    plan.spans.back() = {m - 1, overhang};

    // A target sums at most `longestRun` pixels plus a carry below 255, so
    // the table needs that many entries, far fewer than s.
    std::int32_t longestRun = 0;
    std::int32_t previous = -1;
    for (const AreaSpan& s : plan.spans) {
        longestRun = std::max(longestRun, s.last - previous);
        previous = s.last;
    }
    const std::size_t entries = 255u * (static_cast<std::size_t>(longestRun) + 1u);
    plan.divide.resize(entries);
    for (std::size_t i = 0; i < entries; ++i)
        plan.divide[i] = static_cast<std::uint8_t>(std::min(255.0, static_cast<double>(i) / ratio));
    return true;
}

// Reduces one line of 24-bit pixels `step` bytes apart.
void reduceLine(const AreaPlan& plan, const std::uint8_t* source, std::uint8_t* target, std::ptrdiff_t step)
{
    const std::uint8_t* divide = plan.divide.data();
    std::uint32_t carry0 = 0, carry1 = 0, carry2 = 0;
    std::int32_t next = 0;
    for (const AreaSpan& span : plan.spans) {
        std::uint32_t sum0 = carry0, sum1 = carry1, sum2 = carry2;
        const std::uint8_t* pixel = source + next * step;
        for (; next < span.last; ++next, pixel += step) {
            sum0 += pixel[0];
            sum1 += pixel[1];
            sum2 += pixel[2];
        }
        carry0 = (pixel[0] * span.overhang) >> kUnitShift;
        carry1 = (pixel[1] * span.overhang) >> kUnitShift;
        carry2 = (pixel[2] * span.overhang) >> kUnitShift;
        target[0] = divide[sum0 + pixel[0] - carry0];
        target[1] = divide[sum1 + pixel[1] - carry1];
        target[2] = divide[sum2 + pixel[2] - carry2];
        target += step;
        next = span.last + 1;
    }
}

// Columns are reduced a whole row at a time: every column shares the plan,
// so the sums run along rows in memory order. Target rows [first, end)
// start from the carry the row before them leaves, so any split of the
// rows gives the same bytes.
bool reduceColumnRange(const AreaPlan& plan, const std::uint8_t* source, std::uint8_t* target, std::int32_t width,
                       std::size_t first, std::size_t end)
{
    const std::int64_t stride = stride24(width);
    const auto samples = static_cast<std::size_t>(width) * 3;
    std::unique_ptr<std::uint32_t[]> sums = tryAllocateArray<std::uint32_t>(samples);
    std::unique_ptr<std::uint32_t[]> carries = tryAllocateArray<std::uint32_t>(samples);
    if (!sums || !carries)
        return false;
    const std::uint8_t* divide = plan.divide.data();
    std::int32_t next = 0;
    if (first > 0) {
        const AreaSpan& before = plan.spans[first - 1];
        const std::uint8_t* row = source + before.last * stride;
        for (std::size_t k = 0; k < samples; ++k)
            carries[k] = (row[k] * before.overhang) >> kUnitShift;
        next = before.last + 1;
    }
    target += static_cast<std::int64_t>(first) * stride;
    for (std::size_t s = first; s < end; ++s) {
        const AreaSpan& span = plan.spans[s];
        std::copy_n(carries.get(), samples, sums.get());
        for (; next < span.last; ++next) {
            const std::uint8_t* row = source + next * stride;
            for (std::size_t k = 0; k < samples; ++k)
                sums[k] += row[k];
        }
        const std::uint8_t* row = source + span.last * stride;
        for (std::size_t k = 0; k < samples; ++k) {
            std::uint32_t carry = (row[k] * span.overhang) >> kUnitShift;
            target[k] = divide[sums[k] + row[k] - carry];
            carries[k] = carry;
        }
        target += stride;
        next = span.last + 1;
    }
    return true;
}

bool reduceColumns(const AreaPlan& plan, const std::uint8_t* source, std::uint8_t* target, std::int32_t width,
                   std::int32_t height)
{
    const auto spans = static_cast<std::int64_t>(plan.spans.size());
    std::atomic<bool> done{true};
    platform::ForRowRanges(spans, stride24(width) * height / spans, [&](std::int64_t first, std::int64_t end) {
        if (!reduceColumnRange(plan, source, target, width, static_cast<std::size_t>(first),
                               static_cast<std::size_t>(end)))
            done = false;
    });
    return done;
}

// Enlargement: target j lies at j * step in 16-bit fixed point, aligned at
// the first pixel. The last source pixel is paired with itself at weight
// 0, which gives the pixel unchanged without a branch.
struct LinearTap {
    std::int32_t first = 0;
    std::int32_t second = 0;
    std::uint32_t weight = 0;
};

std::vector<LinearTap> planEnlargement(std::int32_t m, std::int32_t n)
{
    std::vector<LinearTap> taps(static_cast<std::size_t>(n));
    const std::int64_t step = (static_cast<std::int64_t>(m) * kWeightOne) / n;
    for (std::int32_t j = 0; j < n; ++j) {
        const std::int64_t position = j * step;
        const auto f = static_cast<std::int32_t>(position >> 16);
        const bool inside = f < m - 1;
        taps[static_cast<std::size_t>(j)] = {f, inside ? f + 1 : f,
                                             inside ? static_cast<std::uint32_t>(position & 0xFFFF) : 0u};
    }
    return taps;
}

inline std::uint8_t interpolate(std::uint32_t a, std::uint32_t b, std::uint32_t weight)
{
    return static_cast<std::uint8_t>((a * (kWeightOne - weight) + b * weight) >> 16);
}

void enlargeLine(const std::vector<LinearTap>& taps, const std::uint8_t* source, std::uint8_t* target)
{
    for (const LinearTap& tap : taps) {
        const std::uint8_t* a = source + 3 * tap.first;
        const std::uint8_t* b = source + 3 * tap.second;
        target[0] = interpolate(a[0], b[0], tap.weight);
        target[1] = interpolate(a[1], b[1], tap.weight);
        target[2] = interpolate(a[2], b[2], tap.weight);
        target += 3;
    }
}

void enlargeColumns(const std::vector<LinearTap>& taps, const std::uint8_t* source, std::uint8_t* target,
                    std::int32_t width)
{
    const std::int64_t stride = stride24(width);
    const auto samples = static_cast<std::size_t>(width) * 3;
    platform::ForRowRanges(static_cast<std::int64_t>(taps.size()), stride, [&](std::int64_t first, std::int64_t end) {
        for (std::int64_t j = first; j < end; ++j) {
            const LinearTap& tap = taps[static_cast<std::size_t>(j)];
            const std::uint8_t* a = source + tap.first * stride;
            const std::uint8_t* b = source + tap.second * stride;
            std::uint8_t* row = target + j * stride;
            for (std::size_t k = 0; k < samples; ++k)
                row[k] = interpolate(a[k], b[k], tap.weight);
        }
    });
}

bool lengthUsable(std::int32_t length) { return dimensionAllowed(length); }

// Shrinks, keeps or at most doubles a length; anything else is refused.
enum class PassKind { reduce, enlarge, refuse };

PassKind passKind(std::int32_t from, std::int32_t to)
{
    if (to < from)
        return PassKind::reduce;
    if (static_cast<std::int64_t>(to) <= 2 * static_cast<std::int64_t>(from))
        return PassKind::enlarge;
    return PassKind::refuse;
}

bool horizontalPass(const std::uint8_t* source, std::int32_t width, std::int32_t height, std::uint8_t* target,
                    std::int32_t newWidth)
{
    const std::int64_t sourceStride = stride24(width);
    const std::int64_t targetStride = stride24(newWidth);
    switch (passKind(width, newWidth)) {
    case PassKind::reduce: {
        AreaPlan plan;
        if (!planAreaReduction(width, newWidth, plan))
            return false;
        platform::ForRowRanges(height, sourceStride, [&](std::int64_t first, std::int64_t end) {
            for (std::int64_t y = first; y < end; ++y)
                reduceLine(plan, source + y * sourceStride, target + y * targetStride, 3);
        });
        return true;
    }
    case PassKind::enlarge: {
        std::vector<LinearTap> taps = planEnlargement(width, newWidth);
        platform::ForRowRanges(height, targetStride, [&](std::int64_t first, std::int64_t end) {
            for (std::int64_t y = first; y < end; ++y)
                enlargeLine(taps, source + y * sourceStride, target + y * targetStride);
        });
        return true;
    }
    case PassKind::refuse: break;
    }
    return false;
}

Status verticalPass(const std::uint8_t* source, std::int32_t width, std::int32_t height, std::uint8_t* target,
                    std::int32_t newHeight)
{
    switch (passKind(height, newHeight)) {
    case PassKind::reduce: {
        AreaPlan plan;
        if (!planAreaReduction(height, newHeight, plan))
            return CodecError::unsupported;
        return reduceColumns(plan, source, target, width, height) ? Status{} : Status{CodecError::noMemory};
    }
    case PassKind::enlarge: enlargeColumns(planEnlargement(height, newHeight), source, target, width); return {};
    case PassKind::refuse: break;
    }
    return CodecError::unsupported;
}

bool bufferHolds(const PageBuffer& buffer, std::int32_t width, std::int32_t height, int bits)
{
    const std::int64_t needed = rowLayout(width, height, bits).imageSize;
    return buffer && needed > 0 && static_cast<std::uint64_t>(needed) <= buffer.size();
}

Status reduceWithAlpha(Picture& image, ImageSize wanted, const LookupTables& tables)
{
    if (Status resized = resizeWithAlpha(image, wanted.width, wanted.height); !resized)
        return resized;
    return sharpenWithAlpha(image, tables);
}

}  // namespace

namespace {

// The tighter of the two sides' reductions.
std::optional<ImageSize> sizeToFit(std::int32_t width, std::int32_t height, std::int32_t boxWidth,
                                   std::int32_t boxHeight)
{
    if (boxHeight < 1)
        return std::nullopt;
    const bool byWidth = std::int64_t{boxWidth} * height <= std::int64_t{boxHeight} * width;
    return reducedSize(width, height, byWidth ? kReduceWidth : kReduceHeight, byWidth ? boxWidth : boxHeight);
}

// The longer side scaled; the shorter follows as for RszOpt 2.
std::optional<ImageSize> sizeByPercent(std::int32_t width, std::int32_t height, std::int32_t percent)
{
    if (percent > 100)
        return std::nullopt;
    const std::int64_t longer = std::max(width, height);
    const auto side = static_cast<std::int32_t>(std::max<std::int64_t>((longer * percent + 50) / 100, 1));
    return reducedSize(width, height, kReduceLongerSide, side);
}

}  // namespace

std::optional<ImageSize> reducedSize(std::int32_t width, std::int32_t height, std::int32_t mode, std::int32_t size,
                                     std::int32_t boxHeight)
{
    if (width < 1 || height < 1 || size < 1)
        return std::nullopt;
    if (mode == kReduceToFit)
        return sizeToFit(width, height, size, boxHeight);
    if (mode == kReduceByPercent)
        return sizeByPercent(width, height, size);
    const bool widthConstrained = mode == kReduceWidth || (mode == kReduceLongerSide && height < width);
    const std::int32_t side = widthConstrained ? width : height;
    const std::int32_t other = widthConstrained ? height : width;
    if (size >= side)
        return ImageSize{width, height};
    // size < side, so the scaled side stays below `other` + 1.
    const auto scaled = static_cast<std::int32_t>(static_cast<double>(other) * size / side + 0.5);
    const std::int32_t newOther = std::max(scaled, 1);
    return widthConstrained ? ImageSize{size, newOther} : ImageSize{newOther, size};
}

Status promoteTo24(PixelConverter& converter, Picture& image)
{
    if (image.layout == PixelLayout::bgr24)
        return {};
    converter.width = image.width;
    converter.height = image.height;
    converter.sourceBits = image.bits();
    converter.targetBits = 24;
    converter.computeLayout();
    PageBuffer promoted = PageBuffer::allocate(static_cast<std::size_t>(converter.imageSize));
    if (!promoted)
        return CodecError::noMemory;
    if (Status converted = convertPixels(nullptr, promoted.data(), converter, image.palette.data(), image.pixels.data());
        !converted)
        return converted;
    image.pixels = std::move(promoted);
    image.layout = PixelLayout::bgr24;
    image.stride = converter.stride;
    return {};
}

static Status resizeImageBody(ResizeJob& job, std::int32_t newWidth, std::int32_t newHeight)
{
    const std::int32_t width = job.sourceWidth;
    const std::int32_t height = job.sourceHeight;
    if (!lengthUsable(newWidth) || !lengthUsable(newHeight) || !lengthUsable(width) || !lengthUsable(height) ||
        !job.source || !job.target)
        return CodecError::unsupported;
    // The horizontal pass fails only for a request it cannot carry out.
    const auto across = [&](const std::uint8_t* from) {
        return horizontalPass(from, width, newHeight, job.target, newWidth) ? Status{} : Status{CodecError::unsupported};
    };
    if (newHeight == height)
        return newWidth != width ? across(job.source) : Status{CodecError::unsupported};
    if (newWidth == width)
        return verticalPass(job.source, width, height, job.target, newHeight);

    PageBuffer between = PageBuffer::allocate(static_cast<std::size_t>(rowLayout(width, newHeight, 24).imageSize));
    if (!between)
        return CodecError::noMemory;
    if (Status down = verticalPass(job.source, width, height, between.data(), newHeight); !down)
        return down;
    return across(between.data());
}

Status resizeImage(ResizeJob& job, std::int32_t newWidth, std::int32_t newHeight)
{
    return withoutExceptions([&] { return resizeImageBody(job, newWidth, newHeight); });
}

Status reduceImage(ReductionTools& tools, Picture& image, std::int32_t mode, std::int32_t size,
                   std::int32_t boxHeight)
{
    // A setting, not the picture, is at fault: said so for every file.
    if (size < 1)
        return CodecError::badSizeSetting;
    std::optional<ImageSize> wanted = reducedSize(image.width, image.height, mode, size, boxHeight);
    if (!wanted)
        return CodecError::unsupported;
    if (*wanted == ImageSize{image.width, image.height})
        return {};
    if (image.layout == PixelLayout::bgra32)
        return reduceWithAlpha(image, *wanted, tools.tables);
    if (!lengthUsable(image.width) || !lengthUsable(image.height) ||
        !bufferHolds(image.pixels, image.width, image.height, image.bits()))
        return CodecError::unsupported;
    if (Status promoted = promoteTo24(tools.converter, image); !promoted)
        return promoted;

    const std::int64_t imageSize = rowLayout(wanted->width, wanted->height, 24).imageSize;
    PageBuffer reduced = PageBuffer::allocate(static_cast<std::size_t>(imageSize));
    if (!reduced)
        return CodecError::noMemory;
    tools.resize = ResizeJob{image.width, image.height, image.pixels.data(), reduced.data()};
    const Status resized = resizeImage(tools.resize, wanted->width, wanted->height);
    tools.resize = ResizeJob{};
    if (!resized)
        return resized;
    image.pixels = std::move(reduced);
    image.width = wanted->width;
    image.height = wanted->height;
    image.stride = rowLayout(image.width, 1, 24).stride;
    return filterReducedImage(tools.filter, image, tools.tables, imageSize);
}

}  // namespace vrelk
