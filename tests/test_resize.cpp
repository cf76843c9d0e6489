#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "pixel/resize.h"

namespace vrelk {
namespace {

// A 24-bit image with padded rows, held in a vector of exactly its size.
struct Image24 {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint8_t> bytes;

    Image24(std::int32_t w, std::int32_t h)
        : width(w), height(h), bytes(static_cast<std::size_t>(rowLayout(w, h, 24).imageSize))
    {
    }
    std::size_t stride() const { return static_cast<std::size_t>(rowLayout(width, 1, 24).stride); }
    std::uint8_t& at(std::int32_t x, std::int32_t y, int c)
    {
        return bytes[static_cast<std::size_t>(y) * stride() + 3 * static_cast<std::size_t>(x) + c];
    }
    bool paddingIsZero() const
    {
        for (std::int32_t y = 0; y < height; ++y)
            for (std::size_t k = 3 * static_cast<std::size_t>(width); k < stride(); ++k)
                if (bytes[static_cast<std::size_t>(y) * stride() + k] != 0)
                    return false;
        return true;
    }
};

bool resize(Image24& from, Image24& to)
{
    ResizeJob job{from.width, from.height, from.bytes.data(), to.bytes.data()};
    return resizeImage(job, to.width, to.height).ok();
}

Image24 grey(std::int32_t w, std::int32_t h, std::uint8_t value)
{
    Image24 image(w, h);
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                image.at(x, y, c) = value;
    return image;
}

TEST(ReducedSize, FollowsModeAndSize)
{
    EXPECT_EQ(reducedSize(400, 400, kReduceLongerSide, 100), (ImageSize{100, 100})) << "a square counts as height";
    EXPECT_EQ(reducedSize(3000, 1, kReduceWidth, 1000), (ImageSize{1000, 1})) << "height raised to 1";
    EXPECT_EQ(reducedSize(640, 480, kReduceWidth, 640), (ImageSize{640, 480}));
    EXPECT_EQ(reducedSize(640, 480, kReduceWidth, 641), (ImageSize{640, 480}));
    EXPECT_EQ(reducedSize(640, 480, kReduceHeight, 240), (ImageSize{320, 240}));
    EXPECT_EQ(reducedSize(640, 480, kReduceLongerSide, 100), (ImageSize{100, 75}));
    EXPECT_EQ(reducedSize(480, 640, kReduceLongerSide, 100), (ImageSize{75, 100}));
    EXPECT_EQ(reducedSize(300, 200, kReduceWidth, 100), (ImageSize{100, 67})) << "66.67 rounds up";
    EXPECT_EQ(reducedSize(640, 480, 7, 240), (ImageSize{320, 240})) << "unknown modes constrain the height";
    // 90000 x 99999 does not fit 32 bits.
    EXPECT_EQ(reducedSize(100000, 90000, kReduceWidth, 99999), (ImageSize{99999, 89999}));
}

TEST(ReducedSize, RefusesSizesBelowOne)
{
    EXPECT_FALSE(reducedSize(640, 480, kReduceWidth, 0));
    EXPECT_FALSE(reducedSize(640, 480, kReduceHeight, -1));
    EXPECT_FALSE(reducedSize(640, 480, kReduceLongerSide, INT_MIN));
    EXPECT_FALSE(reducedSize(0, 480, kReduceWidth, 100));
    EXPECT_EQ(reducedSize(640, 480, kReduceWidth, INT_MAX), (ImageSize{640, 480}));
}

// The box and the percentage of the command line: the tighter side, never
// past the box, never enlarged; a box side below 1 or a percentage above
// 100 is refused.
TEST(ReducedSize, FitsABoxAndScalesByPercent)
{
    const struct {
        std::int32_t width, height, mode, size, boxHeight;
        std::optional<ImageSize> expected;
    } cases[] = {
        {640, 480, kReduceToFit, 100, 100, ImageSize{100, 75}},
        {480, 640, kReduceToFit, 100, 100, ImageSize{75, 100}},
        {640, 480, kReduceToFit, 1000, 60, ImageSize{80, 60}},
        {640, 480, kReduceToFit, 640, 480, ImageSize{640, 480}},
        {640, 480, kReduceToFit, 4000, 4000, ImageSize{640, 480}},
        {25000, 1, kReduceToFit, 10, 10, ImageSize{10, 1}},
        {1, 25000, kReduceToFit, 10, 10, ImageSize{1, 10}},
        {640, 480, kReduceToFit, 100, 0, std::nullopt},
        {640, 480, kReduceToFit, 0, 100, std::nullopt},
        {640, 480, kReduceByPercent, 50, 0, ImageSize{320, 240}},
        {640, 480, kReduceByPercent, 100, 0, ImageSize{640, 480}},
        {640, 480, kReduceByPercent, 1, 0, ImageSize{6, 5}},
        {3, 1, kReduceByPercent, 1, 0, ImageSize{1, 1}},
        {100000, 90000, kReduceByPercent, 99, 0, ImageSize{99000, 89100}},
        {640, 480, kReduceByPercent, 101, 0, std::nullopt},
        {640, 480, kReduceByPercent, 0, 0, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " mode " << c.mode << " " << c.size << " "
                                        << c.boxHeight);
        EXPECT_EQ(reducedSize(c.width, c.height, c.mode, c.size, c.boxHeight), c.expected);
    }
}

TEST(ResizeImage, AveragesAreasAlongRows)
{
    Image24 row(4, 1);
    const std::uint8_t values[4] = {10, 20, 30, 40};
    for (std::int32_t x = 0; x < 4; ++x)
        for (int c = 0; c < 3; ++c)
            row.at(x, 0, c) = static_cast<std::uint8_t>(values[x] + c);
    Image24 half(2, 1);
    ASSERT_TRUE(resize(row, half));
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(half.at(0, 0, c), 15 + c);
        EXPECT_EQ(half.at(1, 0, c), 35 + c);
    }

    Image24 pair(2, 1);
    pair.at(0, 0, 0) = 7, pair.at(1, 0, 0) = 10;
    pair.at(0, 0, 1) = 255, pair.at(1, 0, 1) = 254;
    Image24 one(1, 1);
    ASSERT_TRUE(resize(pair, one));
    EXPECT_EQ(one.at(0, 0, 0), 8) << "the average is truncated";
    EXPECT_EQ(one.at(0, 0, 1), 254);
    EXPECT_TRUE(one.paddingIsZero());
}

TEST(ResizeImage, EnlargesLinearlyFromTheFirstPixel)
{
    Image24 row(2, 1);
    row.at(0, 0, 1) = 10, row.at(1, 0, 1) = 30;
    Image24 wide(4, 1);
    ASSERT_TRUE(resize(row, wide));
    EXPECT_EQ((std::vector<int>{wide.at(0, 0, 1), wide.at(1, 0, 1), wide.at(2, 0, 1), wide.at(3, 0, 1)}),
              (std::vector<int>{10, 20, 30, 30}));

    Image24 column(1, 2);
    column.at(0, 0, 2) = 10, column.at(0, 1, 2) = 30;
    Image24 tall(1, 3);
    ASSERT_TRUE(resize(column, tall));
    EXPECT_EQ((std::vector<int>{tall.at(0, 0, 2), tall.at(0, 1, 2), tall.at(0, 2, 2)}),
              (std::vector<int>{10, 23, 30}));
}

TEST(ResizeImage, RefusesUnusableSizes)
{
    Image24 source = grey(3, 3, 9);
    for (auto [w, h] : {std::pair{0, 3}, {3, 0}, {-1, 2}, {3, 3}, {7, 3}, {3, 7}, {25001, 3}}) {
        ResizeJob job{3, 3, source.bytes.data(), source.bytes.data()};
        EXPECT_FALSE(resizeImage(job, w, h)) << w << " x " << h;
    }
    Image24 target(2, 2);
    ResizeJob badSource{0, 3, source.bytes.data(), target.bytes.data()};
    EXPECT_FALSE(resizeImage(badSource, 2, 2));
}

// Uniform lines of every kind of length pair: each must give exactly n
// pixels (no more: the padding stays 0 and the buffer is exact; no fewer:
// every pixel is near the value).
TEST(ResizeImage, EveryLineYieldsExactlyNPixels)
{
    const std::vector<std::int32_t> lengths{2, 3, 7, 97, 1000, 4093, 7919, 24989, 25000};
    std::vector<std::pair<std::int32_t, std::int32_t>> pairs;
    for (std::int32_t m : lengths)
        for (std::int32_t n : {1, 2, 3, 7, 97, 991, 4091, 7907, 12497, 24989})
            if (n < m)
                pairs.emplace_back(m, n);
    for (std::int32_t m : lengths)
        pairs.emplace_back(m, m - 1), pairs.emplace_back(m, m / 2), pairs.emplace_back(m, (m + 1) / 3);
    std::mt19937 random(7);
    for (int i = 0; i < 60; ++i) {
        std::int32_t m = std::uniform_int_distribution<std::int32_t>(2, 25000)(random);
        pairs.emplace_back(m, std::uniform_int_distribution<std::int32_t>(1, m - 1)(random));
    }

    for (auto [m, n] : pairs) {
        if (n < 1)
            continue;
        Image24 row = grey(m, 1, 200);
        Image24 shortRow(n, 1);
        ASSERT_TRUE(resize(row, shortRow)) << m << " -> " << n;
        Image24 column = grey(1, m, 200);
        Image24 shortColumn(1, n);
        ASSERT_TRUE(resize(column, shortColumn)) << m << " -> " << n;
        for (Image24* result : {&shortRow, &shortColumn}) {
            ASSERT_TRUE(result->paddingIsZero()) << m << " -> " << n;
            for (std::int32_t i = 0; i < n; ++i) {
                std::int32_t x = result == &shortRow ? i : 0;
                std::int32_t y = result == &shortRow ? 0 : i;
                ASSERT_GE(result->at(x, y, 0), 198) << m << " -> " << n << " at " << i;
                ASSERT_LE(result->at(x, y, 2), 200) << m << " -> " << n << " at " << i;
            }
        }
    }
}

// Exact area averaging in floating point: target j covers [j x, (j + 1) x)
// of the source line, x = m / n, each source pixel weighted by its overlap.
std::vector<double> exactAverage(const std::vector<double>& line, std::int32_t n)
{
    const auto m = static_cast<std::int32_t>(line.size());
    const double x = static_cast<double>(m) / n;
    std::vector<double> out(static_cast<std::size_t>(n));
    for (std::int32_t j = 0; j < n; ++j) {
        double low = j * x, high = (j + 1) * x, sum = 0;
        for (std::int32_t i = 0; i < m; ++i)
            sum += line[static_cast<std::size_t>(i)] * std::max(0.0, std::min(high, i + 1.0) - std::max(low, 1.0 * i));
        out[static_cast<std::size_t>(j)] = sum / x;
    }
    return out;
}

struct ErrorBound {
    double below = 0;
    double above = 0;
};

// How far one pass may stray from the exact average, m -> n, x = m / n.
// The sum of a target is off by less than one sample (the carried part of
// the straddling pixel is truncated on both sides of the boundary), and
// the division truncates: [-1 - 1/x, 1/x). The span of a target is x
// truncated to 15 bits, so boundary j sits up to j/32768 pixels early:
// each of the two ends of a box moves the average by at most 255 n /
// 32768 / x.
ErrorBound passBound(std::int32_t m, std::int32_t n)
{
    const double x = static_cast<double>(m) / n;
    const double drift = 2 * 255.0 * n / 32768 / x + 255.0 / 32768;
    return {1 + 1 / x + drift, 1 / x + drift};
}

TEST(ResizeImage, AgreesWithExactAreaAveraging)
{
    std::mt19937 random(11);
    std::uniform_int_distribution<int> sample(0, 255);
    struct Case {
        std::int32_t w, h, newW, newH;
    };
    double worstBelow = 0, worstAbove = 0;
    for (Case k : {Case{97, 61, 23, 17}, Case{64, 48, 31, 20}, Case{300, 40, 50, 7}, Case{41, 173, 40, 9},
                   Case{1000, 3, 37, 2}}) {
        Image24 source(k.w, k.h);
        for (std::int32_t y = 0; y < k.h; ++y)
            for (std::int32_t x = 0; x < k.w; ++x)
                for (int c = 0; c < 3; ++c)
                    source.at(x, y, c) = static_cast<std::uint8_t>(sample(random));
        Image24 target(k.newW, k.newH);
        ASSERT_TRUE(resize(source, target));
        ASSERT_TRUE(target.paddingIsZero());

        const ErrorBound vertical = passBound(k.h, k.newH), horizontal = passBound(k.w, k.newW);
        const double below = vertical.below + horizontal.below, above = vertical.above + horizontal.above;
        for (int c = 0; c < 3; ++c) {
            std::vector<std::vector<double>> columns(static_cast<std::size_t>(k.w));
            for (std::int32_t x = 0; x < k.w; ++x) {
                std::vector<double> column;
                for (std::int32_t y = 0; y < k.h; ++y)
                    column.push_back(source.at(x, y, c));
                columns[static_cast<std::size_t>(x)] = exactAverage(column, k.newH);
            }
            for (std::int32_t y = 0; y < k.newH; ++y) {
                std::vector<double> row;
                for (std::int32_t x = 0; x < k.w; ++x)
                    row.push_back(columns[static_cast<std::size_t>(x)][static_cast<std::size_t>(y)]);
                std::vector<double> expected = exactAverage(row, k.newW);
                for (std::int32_t x = 0; x < k.newW; ++x) {
                    double error = target.at(x, y, c) - expected[static_cast<std::size_t>(x)];
                    worstBelow = std::max(worstBelow, -error);
                    worstAbove = std::max(worstAbove, error);
                    ASSERT_GT(error, -below) << k.w << "x" << k.h << " at " << x << "," << y;
                    ASSERT_LT(error, above) << k.w << "x" << k.h << " at " << x << "," << y;
                }
            }
        }
    }
    RecordProperty("worst_below", std::to_string(worstBelow));
    RecordProperty("worst_above", std::to_string(worstAbove));
}

struct ReductionFixture : ::testing::Test {
    std::unique_ptr<LookupTables> tables = std::make_unique<LookupTables>();
    PixelConverter converter;
    ResizeJob resizeJob;
    FilterJob filterJob;
    ReductionTools tools{converter, resizeJob, filterJob, *tables};
    Picture image;

    void SetUp() override { buildLookupTables(*tables); }

    // An 8-bit image of one palette entry, (blue 10, green 20, red 30).
    void makePaletted(std::int32_t w, std::int32_t h)
    {
        image.palette[5] = RgbQuad{10, 20, 30, 0};
        image.pixels = PageBuffer::allocate(static_cast<std::size_t>(rowLayout(w, h, 8).imageSize));
        std::fill_n(image.pixels.data(), image.pixels.size(), 5);
        image.width = w;
        image.height = h;
        image.layout = PixelLayout::palette8;
        image.stride = rowLayout(w, 1, 8).stride;
    }
};

TEST_F(ReductionFixture, PromotesPalettedImagesFirst)
{
    makePaletted(8, 6);
    ASSERT_TRUE(reduceImage(tools, image, kReduceLongerSide, 4));
    EXPECT_EQ(image.width, 4);
    EXPECT_EQ(image.height, 3);
    EXPECT_EQ(image.bits(), 24);
    ASSERT_GE(image.pixels.size(), 3u * 12);
    for (std::int32_t y = 0; y < 3; ++y)
        for (std::int32_t x = 0; x < 4; ++x) {
            const std::uint8_t* pixel = image.pixels.data() + y * 12 + 3 * x;
            EXPECT_EQ((std::vector<int>{pixel[0], pixel[1], pixel[2]}), (std::vector<int>{10, 20, 30}));
        }
}

TEST_F(ReductionFixture, SmallEnoughImagesPassUntouched)
{
    makePaletted(8, 6);
    const std::uint8_t* before = image.pixels.data();
    ASSERT_TRUE(reduceImage(tools, image, kReduceWidth, 8));
    EXPECT_EQ(image.pixels.data(), before);
    EXPECT_EQ(image.bits(), 8) << "no promotion without a reduction";
}

TEST_F(ReductionFixture, BadRequestsFailWithoutTouchingTheImage)
{
    makePaletted(8, 6);
    const std::uint8_t* before = image.pixels.data();
    for (std::int32_t size : {0, -1, INT_MIN}) {
        EXPECT_FALSE(reduceImage(tools, image, kReduceWidth, size)) << size;
        EXPECT_EQ(image.pixels.data(), before);
        EXPECT_EQ(image.bits(), 8);
        EXPECT_EQ(image.width, 8);
    }

    image.width = 100;
    image.height = 100;
    EXPECT_FALSE(reduceImage(tools, image, kReduceWidth, 10)) << "pixels smaller than the described image";
}

}  // namespace
}  // namespace vrelk
