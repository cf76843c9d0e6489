// The bgra32 kernels: what the colour under a transparent pixel holds never
// shows, alpha is averaged and never sharpened, and an opaque picture is
// sharpened as its 24-bit form is.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <random>
#include <vector>

#include "convert/convert_memory.h"
#include "pixel/alpha.h"
#include "pixel/filter.h"
#include "pixel/resize_alpha.h"

namespace vrelk {
namespace {

using Bgra = std::array<std::uint8_t, 4>;

Picture bgraPicture(std::int32_t width, std::int32_t height, const std::vector<Bgra>& pixels)
{
    Picture picture = std::move(*allocatePicture(width, height, PixelLayout::bgra32));
    for (std::size_t i = 0; i < pixels.size(); ++i)
        std::copy(pixels[i].begin(), pixels[i].end(), picture.pixels.data() + 4 * i);
    return picture;
}

Bgra pixelAt(const Picture& picture, std::size_t i)
{
    const std::uint8_t* p = picture.pixels.data() + 4 * i;
    return {p[0], p[1], p[2], p[3]};
}

struct Tables {
    std::unique_ptr<LookupTables> tables = std::make_unique<LookupTables>();
    Tables() { buildLookupTables(*tables); }
};

TEST(ResizeWithAlpha, AveragesPremultipliedSoHiddenColourNeverShows)
{
    struct Case {
        const char* name;
        std::vector<Bgra> row;
        std::int32_t newWidth;
        std::vector<Bgra> expected;
    };
    const Case cases[] = {
        {"red beside transparent black", {{0, 0, 255, 255}, {0, 0, 0, 0}}, 1, {{0, 0, 255, 128}}},
        {"red beside transparent white", {{0, 0, 255, 255}, {255, 255, 255, 0}}, 1, {{0, 0, 255, 128}}},
        {"half and full alpha weigh colour", {{255, 0, 0, 255}, {0, 0, 255, 85}}, 1, {{191, 0, 64, 170}}},
        {"all transparent is transparent black", {{9, 9, 9, 0}, {200, 1, 5, 0}}, 1, {{0, 0, 0, 0}}},
        {"three to two splits the middle", {{0, 0, 0, 255}, {90, 90, 90, 255}, {180, 180, 180, 255}}, 2,
         {{30, 30, 30, 255}, {150, 150, 150, 255}}},
    };
    for (const Case& c : cases) {
        Picture picture = bgraPicture(static_cast<std::int32_t>(c.row.size()), 1, c.row);
        ASSERT_TRUE(resizeWithAlpha(picture, c.newWidth, 1).ok()) << c.name;
        ASSERT_EQ(picture.width, c.newWidth) << c.name;
        for (std::size_t i = 0; i < c.expected.size(); ++i)
            for (std::size_t k = 0; k < 4; ++k)
                EXPECT_NEAR(pixelAt(picture, i)[k], c.expected[i][k], 1) << c.name << " pixel " << i << " sample " << k;
    }
}

TEST(ResizeWithAlpha, RefusesWhatItCannotTake)
{
    Picture picture = bgraPicture(4, 4, {});
    EXPECT_EQ(resizeWithAlpha(picture, 0, 2).error(), CodecError::unsupported);
    Picture wrong = std::move(*allocatePicture(4, 4, PixelLayout::bgr24));
    EXPECT_EQ(resizeWithAlpha(wrong, 2, 2).error(), CodecError::unsupported);
    EXPECT_EQ(sharpenWithAlpha(wrong, *Tables().tables).error(), CodecError::unsupported);
}

// An opaque picture's alpha-weighted blur is the plain blur, so the two
// sharpenings agree up to the rounding of their divisions.
TEST(SharpenWithAlpha, OpaquePictureSharpensAsItsColourForm)
{
    Tables t;
    std::mt19937 random(7);
    const std::int32_t width = 23, height = 11;
    Picture colour = std::move(*allocatePicture(width, height, PixelLayout::bgr24));
    std::vector<Bgra> pixels;
    for (std::int32_t y = 0; y < height; ++y)
        for (std::int32_t x = 0; x < width; ++x) {
            std::uint8_t* p = colour.pixels.data() + y * colour.stride + 3 * x;
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<std::uint8_t>(random() & 0xFF);
            pixels.push_back({p[0], p[1], p[2], 255});
        }
    Picture withAlpha = bgraPicture(width, height, pixels);
    FilterJob job;
    ASSERT_TRUE(filterReducedImage(job, colour, *t.tables, rowLayout(width, height, 24).imageSize).ok());
    ASSERT_TRUE(sharpenWithAlpha(withAlpha, *t.tables).ok());
    int worst = 0;
    for (std::int32_t y = 0; y < height; ++y)
        for (std::int32_t x = 0; x < width; ++x) {
            const Bgra got = pixelAt(withAlpha, static_cast<std::size_t>(y * width + x));
            EXPECT_EQ(got[3], 255);
            for (int c = 0; c < 3; ++c)
                worst = std::max(worst, std::abs(got[static_cast<std::size_t>(c)] -
                                                 colour.pixels.data()[y * colour.stride + 3 * x + c]));
        }
    EXPECT_LE(worst, 1);
}

TEST(SharpenWithAlpha, ShapeOnTransparencyKeepsItsColourAndAlpha)
{
    Tables t;
    for (const Bgra hidden : {Bgra{0, 0, 0, 0}, Bgra{255, 255, 255, 0}, Bgra{0, 255, 0, 0}}) {
        std::vector<Bgra> pixels(12 * 12, hidden);
        for (std::size_t y = 3; y < 9; ++y)
            for (std::size_t x = 3; x < 9; ++x)
                pixels[y * 12 + x] = {0, 0, 255, static_cast<std::uint8_t>(x == 3 ? 100 : 255)};
        Picture picture = bgraPicture(12, 12, pixels);
        ASSERT_TRUE(sharpenWithAlpha(picture, *t.tables).ok());
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            const Bgra got = pixelAt(picture, i);
            EXPECT_EQ(got[3], pixels[i][3]) << "alpha of pixel " << i;
            if (pixels[i][3] != 0) {
                EXPECT_EQ(got, pixels[i]) << "pixel " << i;
            }
        }
    }
}

TEST(AlphaPictures, CompositeOverWhiteMatchesTheReadersBlend)
{
    Tables t;
    Picture picture = bgraPicture(4, 1, {{0, 0, 255, 255}, {0, 0, 255, 0}, {0, 0, 255, 128}, {10, 20, 30, 255}});
    ASSERT_TRUE(compositeAlphaOverWhite(picture, *t.tables).ok());
    ASSERT_EQ(picture.layout, PixelLayout::bgr24);
    const std::uint8_t expected[] = {0, 0, 255, 255, 255, 255, 127, 127, 255, 10, 20, 30};
    for (std::size_t i = 0; i < std::size(expected); ++i)
        EXPECT_NEAR(picture.pixels.data()[i], expected[i], 1) << i;
}

TEST(AlphaPictures, IndexAlphaOnlyWhenAnIndexShowsIt)
{
    Picture indexed = std::move(*allocatePicture(3, 2, PixelLayout::palette8));
    indexed.palette[2] = {1, 2, 3, 0};
    std::fill_n(indexed.pixels.data(), indexed.pixels.size(), 0);
    indexed.pixels.data()[1] = 2;
    IndexAlpha alpha;
    alpha.fill(255);
    alpha[5] = 0;
    EXPECT_FALSE(usesTransparentIndex(indexed, alpha));
    alpha[2] = 40;
    EXPECT_TRUE(usesTransparentIndex(indexed, alpha));
    ASSERT_TRUE(addIndexAlpha(indexed, alpha).ok());
    EXPECT_EQ(indexed.layout, PixelLayout::bgra32);
    EXPECT_EQ(pixelAt(indexed, 1), (Bgra{1, 2, 3, 40}));
    EXPECT_TRUE(hasTransparency(indexed));
}

// A picture with alpha is a third larger than its colours alone, and so is
// every copy of it a reduction makes; GIF also holds it over white.
TEST(AlphaPictures, ClaimsCountTheAlphaBytes)
{
    const std::int32_t width = 1000, height = 800;
    Picture colour = std::move(*allocatePicture(width, height, PixelLayout::bgr24));
    Picture withAlpha = std::move(*allocatePicture(width, height, PixelLayout::bgra32));
    ConvertOptions halve;
    halve.resize = true;
    halve.resizeMode = kReduceWidth;
    halve.resizeSize = 500;
    const std::uint64_t alphaBytes = std::uint64_t{width} * height;
    const std::uint64_t reducedAlphaBytes = 500 * 400;
    EXPECT_GE(settlingNeed(withAlpha), settlingNeed(colour) + alphaBytes);
    EXPECT_GE(reductionNeed(withAlpha, halve), 4 * alphaBytes + 2 * 4 * reducedAlphaBytes);
    for (const std::int32_t output : {kOutputPng, kOutputWebp})
        EXPECT_GE(writingNeed(withAlpha, output, false), writingNeed(colour, output, false) + alphaBytes) << output;
    EXPECT_GE(writingNeed(withAlpha, kOutputGif, false), writingNeed(colour, kOutputGif, false) + 4 * alphaBytes);
}

}  // namespace
}  // namespace vrelk
