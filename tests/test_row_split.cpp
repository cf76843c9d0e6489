// Kernels that split a picture's rows among lent cores give the bytes of
// one thread, for every number of helpers: colour conversion, bit depth
// conversion, the colour reduction's histogram, size reduction and
// enlargement in each direction, and the sharpening.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <random>

#include "pixel/bit_depth.h"
#include "pixel/colour_manage.h"
#include "pixel/colour_reduce.h"
#include "pixel/filter.h"
#include "pixel/resize.h"
#include "platform/picture_cores.h"
#include "image_builder.h"
#include "test_support.h"

namespace vrelk {
namespace {

using test::Bytes;

constexpr std::int32_t kWidth = 1001;
constexpr std::int32_t kHeight = 803;

// A photo-like picture: shading, texture and noise, so that every colour
// path and every sharpening branch is taken.
Bytes photo(std::int32_t width, std::int32_t height, int bits)
{
    const RowLayout layout = rowLayout(width, height, bits);
    Bytes pixels(static_cast<std::size_t>(layout.imageSize));
    std::mt19937 random(7);
    for (std::int64_t y = 0; y < height; ++y)
        for (std::int64_t x = 0; x < layout.rowBytes; ++x)
            pixels[static_cast<std::size_t>(y * layout.stride + x)] =
                static_cast<std::uint8_t>((x * 255 / layout.rowBytes + y / 3 + (x % 3) * 40) / 2 + random() % 24);
    return pixels;
}

Picture pictureOf(std::int32_t width, std::int32_t height)
{
    Picture picture;
    picture.width = width;
    picture.height = height;
    picture.stride = rowLayout(width, 1, 24).stride;
    const Bytes pixels = photo(width, height, 24);
    picture.pixels = PageBuffer::allocate(pixels.size());
    std::copy(pixels.begin(), pixels.end(), picture.pixels.data());
    return picture;
}

Bytes bytesOf(const Picture& picture)
{
    return Bytes(picture.pixels.data(), picture.pixels.data() + rowLayout(picture.width, picture.height, 24).imageSize);
}

Bytes resized(std::int32_t width, std::int32_t height, std::int32_t newWidth, std::int32_t newHeight)
{
    const Bytes source = photo(width, height, 24);
    Bytes target(static_cast<std::size_t>(rowLayout(newWidth, newHeight, 24).imageSize));
    ResizeJob job{width, height, source.data(), target.data()};
    EXPECT_TRUE(resizeImage(job, newWidth, newHeight).ok());
    return target;
}

Bytes sharpened()
{
    auto tables = std::make_unique<LookupTables>();
    buildLookupTables(*tables);
    Picture picture = pictureOf(kWidth, kHeight);
    FilterJob job;
    EXPECT_TRUE(filterReducedImage(job, picture, *tables, rowLayout(kWidth, kHeight, 24).imageSize).ok());
    return bytesOf(picture);
}

Bytes converted(int sourceBits, int targetBits)
{
    const Bytes source = photo(kWidth, kHeight, sourceBits);
    Palette sourcePalette{};
    for (std::size_t i = 0; i < sourcePalette.size(); ++i)
        sourcePalette[i] = RgbQuad{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i * 3),
                                   static_cast<std::uint8_t>(255 - i), 0};
    auto converter = std::make_unique<PixelConverter>();
    converter->width = kWidth;
    converter->height = kHeight;
    converter->sourceBits = sourceBits;
    converter->targetBits = targetBits;
    converter->computeLayout();
    buildDiffusionTables(*converter);
    Palette targetPalette{};
    Bytes target(static_cast<std::size_t>(converter->imageSize));
    EXPECT_TRUE(convertPixels(targetPalette.data(), target.data(), *converter, sourcePalette.data(), source.data()).ok());
    for (const RgbQuad& entry : targetPalette)
        target.insert(target.end(), {entry.rgbBlue, entry.rgbGreen, entry.rgbRed});
    return target;
}

Bytes intoSrgb()
{
    Picture picture = pictureOf(kWidth, kHeight);
    picture.meta.iccProfile = ProfileFromCodePoints(12, 13);
    EXPECT_FALSE(picture.meta.iccProfile.empty());
    SettleColours(picture, false);
    EXPECT_TRUE(picture.meta.iccProfile.empty()) << "converted into sRGB";
    return bytesOf(picture);
}

struct Kernel {
    const char* name;
    std::function<Bytes()> run;
};

const Kernel kKernels[] = {
    {"area reduction, both sides", [] { return resized(kWidth, kHeight, 333, 250); }},
    {"area reduction, width only", [] { return resized(kWidth, kHeight, 640, kHeight); }},
    {"area reduction, height only", [] { return resized(kWidth, kHeight, kWidth, 97); }},
    {"reduction to one row and column", [] { return resized(kWidth, kHeight, 1, 1); }},
    {"enlargement, both sides", [] { return resized(517, 389, 1003, 777); }},
    {"enlargement, height only", [] { return resized(517, 389, 517, 700); }},
    {"sharpening", sharpened},
    {"palette to 24 bits", [] { return converted(8, 24); }},
    {"24 bits to 256 colours", [] { return converted(24, 8); }},
    {"24 bits to 16 colours", [] { return converted(24, 4); }},
    {"Display P3 into sRGB", intoSrgb},
};

TEST(RowSplit, SameBytesForEveryNumberOfHelpers)
{
    for (const Kernel& kernel : kKernels) {
        SCOPED_TRACE(kernel.name);
        const Bytes alone = kernel.run();
        ASSERT_FALSE(alone.empty());
        for (int cores : {2, 3, 4, 7, 16}) {
            platform::WorkerSlots slots(cores);
            const platform::HeldWorkerSlot own(&slots);
            const platform::PictureCoresScope lent({&slots, false});
            EXPECT_TRUE(kernel.run() == alone) << cores << " cores";
        }
    }
}

// Helpers hold free slots while they work and give every one back.
TEST(RowSplit, HelpersHoldFreeSlotsOnly)
{
    platform::WorkerSlots slots(3);
    const platform::HeldWorkerSlot own(&slots);
    const platform::HeldWorkerSlot other(&slots);
    const platform::PictureCoresScope lent({&slots, false});
    std::atomic<int> ranges{0};
    std::atomic<std::int64_t> rows{0};
    platform::ForRowRanges(1000, 1 << 20, [&](std::int64_t first, std::int64_t end) {
        ++ranges;
        rows += end - first;
    });
    EXPECT_EQ(ranges.load(), 2) << "one slot was free";
    EXPECT_EQ(rows.load(), 1000);
    EXPECT_TRUE(slots.tryTake()) << "the helper's slot came back";
    EXPECT_FALSE(slots.tryTake());
}

}  // namespace
}  // namespace vrelk
