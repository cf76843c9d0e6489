#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "pixel/filter.h"

namespace vrelk {
namespace {

struct FilterFixture : ::testing::Test {
    std::unique_ptr<LookupTables> tables = std::make_unique<LookupTables>();
    FilterJob job;
    Picture image;

    void SetUp() override { buildLookupTables(*tables); }

    std::size_t stride() const { return static_cast<std::size_t>(rowLayout(image.width, 1, 24).stride); }
    std::int64_t imageSize() const { return rowLayout(image.width, image.height, 24).imageSize; }

    void makeImage(std::int32_t w, std::int32_t h)
    {
        image.pixels = PageBuffer::allocate(static_cast<std::size_t>(rowLayout(w, h, 24).imageSize));
        image.width = w;
        image.height = h;
        image.layout = PixelLayout::bgr24;
        image.stride = rowLayout(w, 1, 24).stride;
    }
    std::uint8_t& at(std::int32_t x, std::int32_t y, int c)
    {
        return image.pixels.data()[static_cast<std::size_t>(y) * stride() + 3 * static_cast<std::size_t>(x) + c];
    }
    // Noise of `mask` amplitude: faint noise leaves many pixels under the
    // sharpening threshold.
    void fillRandom(std::uint32_t seed, std::uint32_t mask = 0xFF)
    {
        std::mt19937 random(seed);
        for (std::int32_t y = 0; y < image.height; ++y)
            for (std::int32_t x = 0; x < image.width; ++x)
                for (int c = 0; c < 3; ++c)
                    at(x, y, c) = static_cast<std::uint8_t>(100 + (random() & mask) - mask / 2);
    }
    std::vector<std::uint8_t> pixels() const
    {
        return std::vector<std::uint8_t>(image.pixels.data(), image.pixels.data() + image.pixels.size());
    }
    bool filter() { return filterReducedImage(job, image, *tables, imageSize()).ok(); }
};

int div25(int sum) { return (2621 * sum + 32768) >> 16; }

// The whole filter written plainly, with clamped coordinates everywhere.
std::vector<std::uint8_t> referenceFilter(const std::vector<std::uint8_t>& source, std::int32_t w, std::int32_t h)
{
    const std::size_t stride = static_cast<std::size_t>(rowLayout(w, 1, 24).stride);
    auto sample = [&](std::int32_t x, std::int32_t y, int c) {
        x = std::clamp(x, 0, w - 1);
        y = std::clamp(y, 0, h - 1);
        return static_cast<int>(source[static_cast<std::size_t>(y) * stride + 3 * static_cast<std::size_t>(x) + c]);
    };
    std::vector<std::uint8_t> out(source.size(), 0);
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            int detail[3];
            int strength = 0;
            for (int c = 0; c < 3; ++c) {
                int sum = 0;
                for (int dy = -2; dy <= 2; ++dy)
                    for (int dx = -2; dx <= 2; ++dx)
                        sum += sample(x + dx, y + dy, c);
                detail[c] = std::clamp(sample(x, y, c) - div25(sum), -128, 127);
                strength += std::abs(detail[c]);
            }
            for (int c = 0; c < 3; ++c) {
                int value = sample(x, y, c);
                if (strength > 20)
                    value = std::clamp(value + ((3 * detail[c]) >> 3), 0, 255);
                out[static_cast<std::size_t>(y) * stride + 3 * static_cast<std::size_t>(x) + c] =
                    static_cast<std::uint8_t>(value);
            }
        }
    return out;
}

TEST_F(FilterFixture, LeavesImagesUnderFivePixelsAlone)
{
    for (auto [w, h] : {std::pair{4, 100}, {100, 4}}) {
        makeImage(w, h);
        fillRandom(3);
        const std::uint8_t* before = image.pixels.data();
        std::vector<std::uint8_t> contents = pixels();
        ASSERT_TRUE(filter());
        EXPECT_EQ(image.pixels.data(), before);
        EXPECT_EQ(pixels(), contents);
    }
}

TEST_F(FilterFixture, UniformImagesStayTheSame)
{
    makeImage(9, 7);
    for (std::int32_t y = 0; y < 7; ++y)
        for (std::int32_t x = 0; x < 9; ++x)
            at(x, y, 0) = 30, at(x, y, 1) = 200, at(x, y, 2) = 255;
    std::vector<std::uint8_t> contents = pixels();
    ASSERT_TRUE(filter());
    EXPECT_EQ(pixels(), contents);
}

// Sizes around the border paths (5 has a single unreplicated pixel), odd
// widths for row padding; everything must match the plain version,
// padding included.
TEST_F(FilterFixture, MatchesThePlainFilter)
{
    std::uint32_t seed = 1;
    for (auto [w, h] : {std::pair{5, 5}, {6, 5}, {5, 9}, {7, 6}, {13, 11}, {64, 8}})
        for (std::uint32_t mask : {0xFFu, 0x0Fu}) {
            makeImage(w, h);
            fillRandom(seed++, mask);
            std::vector<std::uint8_t> expected = referenceFilter(pixels(), w, h);
            ASSERT_TRUE(filter());
            EXPECT_EQ(pixels(), expected) << w << " x " << h << " noise " << mask;
        }
}

TEST_F(FilterFixture, BlurReplicatesEdges)
{
    makeImage(5, 5);
    int total = 0;
    for (std::int32_t y = 0; y < 5; ++y)
        for (std::int32_t x = 0; x < 5; ++x)
            total += at(x, y, 1) = static_cast<std::uint8_t>(10 * x + 40 * y);
    std::vector<std::uint8_t> blur(image.pixels.size());
    job = FilterJob{5, 5, 16, image.pixels.data(), blur.data(), nullptr, tables->div25Table.data(), nullptr, nullptr};
    ASSERT_TRUE(blurImage(job));
    EXPECT_EQ(blur[2 * 16 + 3 * 2 + 1], div25(total)) << "the centre sees all 25 pixels once";
    // The corner itself 9 times, the two further pixels of its row and of
    // its column 3 times each, the remaining four once.
    const int corner = 9 * 0 + 3 * (10 + 20) + 3 * (40 + 80) + (50 + 60 + 90 + 100);
    EXPECT_EQ(blur[1], div25(corner));
    EXPECT_EQ(blur[1], 30);
}

TEST_F(FilterFixture, DetailSaturatesToSignedBytes)
{
    std::vector<std::uint8_t> source{255, 0, 100, 0, 0, 0, 0, 0};
    std::vector<std::uint8_t> blur{0, 255, 90, 0, 0, 0, 0, 0};
    std::vector<std::uint8_t> detail(8);
    job = FilterJob{1, 2, 4, source.data(), blur.data(), detail.data(), nullptr, nullptr, nullptr};
    computeDetail(job);
    EXPECT_EQ(static_cast<std::int8_t>(detail[0]), 127);
    EXPECT_EQ(static_cast<std::int8_t>(detail[1]), -128);
    EXPECT_EQ(static_cast<std::int8_t>(detail[2]), 10);
}

TEST_F(FilterFixture, SharpensOnlyStrongDetail)
{
    auto d = [](int value) { return static_cast<std::uint8_t>(static_cast<std::int8_t>(value)); };
    // Pixels: details (7,7,7) -> S 21; (7,7,6) -> S 20; (-128,0,0); (127,0,0).
    std::vector<std::uint8_t> source{100, 100, 100, 100, 100, 100, 30, 100, 100, 250, 100, 100};
    std::vector<std::uint8_t> detail{d(7), d(7), d(7), d(7), d(7), d(6), d(-128), 0, 0, d(127), 0, 0};
    std::vector<std::uint8_t> out(12);
    job = FilterJob{4, 1, 12, source.data(), out.data(), detail.data(), nullptr,
                    tables->scaledDiffTable.front().data(), tables->clampBase};
    sharpenImage(job);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{102, 102, 102, 100, 100, 100, 0, 100, 100, 255, 100, 100}));

    source[6] = 100;
    sharpenImage(job);
    EXPECT_EQ(out[6], 52) << "a detail of -128 adds -48";
}

TEST_F(FilterFixture, RefusesAnImageThatDoesNotMatchItsSize)
{
    makeImage(8, 8);
    const std::uint8_t* before = image.pixels.data();
    EXPECT_FALSE(filterReducedImage(job, image, *tables, imageSize() - 4));
    image.height = 9;
    EXPECT_FALSE(filterReducedImage(job, image, *tables, rowLayout(8, 9, 24).imageSize));
    EXPECT_EQ(image.pixels.data(), before);
}

}  // namespace
}  // namespace vrelk
