// Error diffusion with rows mapped side by side on lent cores gives the
// indices of one thread, for every number of threads, on pictures narrow
// enough that the threads wait on each other at every pixel and on wide
// ones with a block left over at the right edge.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "pixel/bit_depth.h"
#include "pixel/colour_reduce.h"
#include "platform/picture_cores.h"
#include "image_builder.h"
#include "test_support.h"

namespace vrelk {
namespace {

using test::Bytes;

// Enough pixels that the rows are split at every width below.
constexpr std::int64_t kPixels = 17001;

std::int32_t heightFor(std::int32_t width) { return static_cast<std::int32_t>(kPixels / width + 3); }

// Shading and noise: thousands of colours, so every picture is diffused.
Bytes photo(std::int32_t width, std::int32_t height, int bits)
{
    const RowLayout layout = rowLayout(width, height, bits);
    Bytes pixels(static_cast<std::size_t>(layout.imageSize));
    std::mt19937 random(static_cast<unsigned>(width));
    for (std::int64_t y = 0; y < height; ++y)
        for (std::int64_t x = 0; x < layout.rowBytes; ++x)
            pixels[static_cast<std::size_t>(y * layout.stride + x)] =
                static_cast<std::uint8_t>((x * 200 / layout.rowBytes + y * 7 / 5 + (x % 3) * 50) + random() % 40);
    return pixels;
}

Palette greyRamp()
{
    Palette palette{};
    for (std::size_t i = 0; i < palette.size(); ++i)
        palette[i] = RgbQuad{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i),
                             static_cast<std::uint8_t>(i * 7), 0};
    return palette;
}

// Indices and palette, one index per byte, as the GIF writer takes them.
Bytes indexBytes(std::int32_t width, std::int32_t height, int sourceBits, int targetBits)
{
    const Bytes source = photo(width, height, sourceBits);
    const Palette sourcePalette = greyRamp();
    auto converter = std::make_unique<PixelConverter>();
    converter->width = width;
    converter->height = height;
    converter->sourceBits = sourceBits;
    converter->targetBits = targetBits;
    buildDiffusionTables(*converter);
    Palette palette{};
    Bytes target(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    EXPECT_TRUE(
        reduceToIndexBytes(sourcePalette.data(), source.data(), palette.data(), *converter, target.data()).ok());
    for (const RgbQuad& entry : palette)
        target.insert(target.end(), {entry.rgbBlue, entry.rgbGreen, entry.rgbRed});
    return target;
}

// Packed rows at the converter's stride, each thread packing its own rows.
Bytes packed(std::int32_t width, std::int32_t height, int targetBits)
{
    const Bytes source = photo(width, height, 24);
    auto converter = std::make_unique<PixelConverter>();
    converter->width = width;
    converter->height = height;
    converter->sourceBits = 24;
    converter->targetBits = targetBits;
    converter->computeLayout();
    buildDiffusionTables(*converter);
    Palette palette{};
    Bytes target(static_cast<std::size_t>(converter->imageSize));
    EXPECT_TRUE(convertPixels(palette.data(), target.data(), *converter, nullptr, source.data()).ok());
    for (const RgbQuad& entry : palette)
        target.insert(target.end(), {entry.rgbBlue, entry.rgbGreen, entry.rgbRed});
    return target;
}

struct Path {
    const char* name;
    std::function<Bytes(std::int32_t width, std::int32_t height)> run;
};

const Path kPaths[] = {
    {"24 bits to 256 colours, index bytes", [](auto w, auto h) { return indexBytes(w, h, 24, 8); }},
    {"palette to 32 colours, index bytes", [](auto w, auto h) { return indexBytes(w, h, 8, 5); }},
    {"24 bits to black and white, index bytes", [](auto w, auto h) { return indexBytes(w, h, 24, 1); }},
    {"24 bits to 16 colours, packed", [](auto w, auto h) { return packed(w, h, 4); }},
    {"24 bits to black and white, packed", [](auto w, auto h) { return packed(w, h, 1); }},
};

TEST(DiffusionRows, SameIndicesForEveryNumberOfThreads)
{
    for (const Path& path : kPaths) {
        for (std::int32_t width : {1, 2, 3, 63, 1000}) {
            const std::int32_t height = heightFor(width);
            SCOPED_TRACE(testing::Message() << path.name << ", " << width << " x " << height);
            const Bytes alone = path.run(width, height);
            ASSERT_FALSE(alone.empty());
            // A row a few pixels wide hands over at every pixel; more threads
            // than cores there only wait on each other's time slices.
            const std::vector<int> counts = width < 63 ? std::vector<int>{2, 3} : std::vector<int>{1, 2, 3, 4, 7};
            for (int threads : counts) {
                platform::WorkerSlots slots(threads);
                const platform::HeldWorkerSlot own(&slots);
                const platform::PictureCoresScope lent({&slots, false});
                EXPECT_TRUE(path.run(width, height) == alone) << threads << " threads";
            }
        }
    }
}

}  // namespace
}  // namespace vrelk
