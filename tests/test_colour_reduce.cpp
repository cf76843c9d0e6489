// Colour reduction: exact palettes, the seeded quantiser, error diffusion,
// and the fast nearest-entry search against the plain scan.
#include <gtest/gtest.h>

#include <random>

#include "pixel/colour_reduce.h"
#include "pixel/bit_depth.h"
#include "test_support.h"

namespace vrelk {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Bgr = std::array<std::uint8_t, 3>;

Bgr bgr(const RgbQuad& c) { return {c.rgbBlue, c.rgbGreen, c.rgbRed}; }

constexpr Bgr kBlack{0, 0, 0}, kWhite{255, 255, 255}, kBlue{255, 0, 0}, kRed{0, 0, 255}, kGrey{128, 128, 128};

// One row of 24-bit pixels.
Bytes row24(const std::vector<Bgr>& pixels)
{
    Bytes out;
    for (const Bgr& p : pixels)
        out.insert(out.end(), p.begin(), p.end());
    out.resize((out.size() + 3) & ~std::size_t{3});
    return out;
}

struct Reduced {
    bool ok = false;
    Palette palette{};
    Bytes pixels{};
};

// Packed through the dispatcher, or one index per byte.
Reduced reduce(bool packed, int width, int height, int sourceBits, int targetBits, const Bytes& source,
               const Palette* palette = nullptr)
{
    PixelConverter c;
    c.width = width, c.height = height, c.sourceBits = sourceBits, c.targetBits = targetBits;
    c.computeLayout();
    Reduced r;
    r.pixels.resize(packed ? static_cast<std::size_t>(c.imageSize) : static_cast<std::size_t>(width * height));
    const RgbQuad* from = palette ? palette->data() : nullptr;
    buildDiffusionTables(c);
    r.ok = (packed ? convertPixels(r.palette.data(), r.pixels.data(), c, from, source.data())
                   : reduceToIndexBytes(from, source.data(), r.palette.data(), c, r.pixels.data()))
               .ok();
    return r;
}

TEST(ColourReduce, FewColoursStayExact)
{
    // 4 colours to 2 bits: sorted darkest first, packed from the top bits.
    Reduced r = reduce(true, 5, 1, 24, 2, row24({kWhite, kRed, kBlack, {10, 200, 30}, kRed}));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ((std::vector<Bgr>{bgr(r.palette[0]), bgr(r.palette[1]), bgr(r.palette[2]), bgr(r.palette[3])}),
              (std::vector<Bgr>{kBlack, {10, 200, 30}, kRed, kWhite}));
    EXPECT_EQ(Bytes(r.pixels.begin(), r.pixels.begin() + 2), (Bytes{0b11100001, 0b10000000}));

    // 8 bits keep their palette order, with repeated colours merged.
    Palette palette{};
    palette[0] = palette[2] = {1, 1, 1, 0};
    palette[1] = {9, 9, 9, 0};
    palette[3] = {5, 5, 5, 0};
    r = reduce(false, 4, 1, 8, 4, {3, 2, 1, 0}, &palette);
    EXPECT_EQ(r.pixels, (Bytes{2, 0, 1, 0}));
    EXPECT_EQ(bgr(r.palette[2]), (Bgr{5, 5, 5}));

    // More distinct palette colours than the target holds: the used ones
    // are kept, none lost.
    std::mt19937 random(3);
    for (auto& c : palette)
        c = {static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()), 0};
    r = reduce(false, 3, 1, 8, 2, {200, 100, 50}, &palette);
    for (int x : {0, 1, 2})
        EXPECT_EQ(bgr(r.palette[r.pixels[static_cast<std::size_t>(x)]]), bgr(palette[Bytes{200, 100, 50}[x]]));

    // Two colours at one bit per index keep their colours.
    r = reduce(false, 3, 1, 24, 1, row24({kRed, kBlue, kRed}));
    EXPECT_EQ((std::vector<Bgr>{bgr(r.palette[r.pixels[0]]), bgr(r.palette[r.pixels[1]])}),
              (std::vector<Bgr>{kRed, kBlue}));
}

TEST(ColourReduce, FiveColoursAreQuantisedAroundTheSeeds)
{
    // Each seed takes its colour's cell, equal brightness keeping seed
    // order; the first grey goes white and 128 - 56 on the next goes black.
    Reduced r = reduce(false, 6, 1, 24, 2, row24({kRed, kBlue, kWhite, kBlack, kGrey, kGrey}));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ((std::vector<Bgr>{bgr(r.palette[0]), bgr(r.palette[1]), bgr(r.palette[2]), bgr(r.palette[3])}),
              (std::vector<Bgr>{kBlack, kBlue, kRed, kWhite}));
    EXPECT_EQ(r.pixels, (Bytes{2, 1, 3, 0, 3, 0}));

    // No black in a small image: the seed (0, 0, 0) takes an empty cell.
    r = reduce(false, 5, 1, 24, 2, row24({kWhite, kGrey, {200, 100, 100}, {100, 200, 100}, {100, 100, 200}}));
    EXPECT_EQ(bgr(r.palette[0]), kBlack);
}

TEST(ColourReduce, TwoLevelsSpreadTheErrorInMemoryOrder)
{
    // Width, height, grey, packed rows. 128 gives 1 and -127, of which -56
    // goes right; a row passes 7/16 right only, a column 5/16 down only.
    const std::vector<std::tuple<int, int, std::uint8_t, Bytes>> cases{
        {3, 1, 128, {0b10100000}}, {2, 1, 90, {0b01000000}}, {1, 2, 90, {0, 0}}, {2, 2, 100, {0b01000000, 0}}};
    for (const auto& [width, height, grey, rows] : cases) {
        Palette palette{};
        palette[7] = {grey, grey, grey, 0};
        Reduced r = reduce(true, width, height, 8, 1, Bytes(static_cast<std::size_t>(4 * height), 7), &palette);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(bgr(r.palette[1]), kWhite);
        for (int y = 0; y < height; ++y)
            EXPECT_EQ(r.pixels[static_cast<std::size_t>(4 * y)], rows[static_cast<std::size_t>(y)]) << width << "x" << height;
    }
}

TEST(ColourReduce, DispatcherPacksWhatTheIndicesSay)
{
    std::vector<Bgr> pixels;
    for (int i = 0; i < 9 * 5; ++i)
        pixels.push_back({static_cast<std::uint8_t>(i * 5), static_cast<std::uint8_t>(255 - i * 3),
                          static_cast<std::uint8_t>(i * i)});
    const Bytes source = row24(pixels);  // 9 x 5 with rows of 27 bytes, padded to 28
    Bytes padded;
    for (int y = 0; y < 5; ++y) {
        padded.insert(padded.end(), source.begin() + 27 * y, source.begin() + 27 * y + 27);
        padded.push_back(0);
    }
    for (int bits : {1, 2, 4, 8}) {
        Reduced packed = reduce(true, 9, 5, 24, bits, padded);
        Reduced bytes = reduce(false, 9, 5, 24, bits, padded);
        ASSERT_TRUE(packed.ok && bytes.ok) << bits;
        const std::int64_t stride = rowLayout(9, 1, bits).stride;
        for (int i = 0; i < 45; ++i) {
            const int x = i % 9, perByte = 8 / bits;
            const int field = packed.pixels[static_cast<std::size_t>(i / 9 * stride + x / perByte)] >>
                              (8 - bits - x % perByte * bits);
            ASSERT_EQ(field & ((1 << bits) - 1), bytes.pixels[static_cast<std::size_t>(i)]) << bits << " " << i;
        }
    }
    EXPECT_FALSE(reduce(true, 9, 5, 4, 2, padded).ok);
    EXPECT_FALSE(reduce(false, 9, 5, 24, 9, padded).ok);
    EXPECT_FALSE(reduce(false, 9, 5, 8, 4, padded).ok);  // 8 bits without a palette
}

// The fast search against the plain scan, index for index.
void expectSameNearest(Palette palette, int count, const Bytes& pixels)
{
    PixelConverter converter;
    buildSquares(converter);
    converter.targetPalette = palette.data();
    NearestSearch search(palette.data(), count);
    int mismatches = 0;
    for (std::size_t i = 0; i + 3 <= pixels.size(); i += 3)
        if (search.find(&pixels[i]) != nearestEntry(converter, &pixels[i], count) && mismatches++ < 5)
            ADD_FAILURE() << "pixel " << i / 3 << " of " << count << " entries";
}

TEST(ColourReduce, FastNearestSearchMatchesThePlainScan)
{
    std::mt19937 random(9);
    auto byte = [&] { return static_cast<std::uint8_t>(random()); };
    // Random palettes, some with repeated entries and coarse blue so that
    // ties occur.
    for (int round = 0; round < 24; ++round) {
        const int count = 2 + static_cast<int>(random() % 255);
        Palette palette{};
        for (int i = 0; i < count; ++i) {
            palette[static_cast<std::size_t>(i)] = {static_cast<std::uint8_t>(byte() & (round % 3 ? 0xFF : 0xF0)), byte(), byte(), 0};
            if (round % 2 && i > 0 && random() % 4 == 0)
                palette[static_cast<std::size_t>(i)] = palette[random() % static_cast<std::size_t>(i)];
        }
        Bytes pixels(3 * 8000);
        for (auto& b : pixels)
            b = byte();
        expectSameNearest(palette, count, pixels);
    }

    // A photo, with the palettes the quantiser chooses for it.
    VRELK_REQUIRE_TOOLS(test::haveImageMagick(), "ImageMagick");
    test::ScratchFolder folder;
    auto made = test::runCommand("/usr/bin/convert rose: -resize 300% bgr:" + test::quoted(folder / "rose"));
    ASSERT_EQ(made.status, 0) << made.output;
    const std::string text = test::readText(folder / "rose");
    const Bytes photo(text.begin(), text.end());
    ASSERT_EQ(photo.size(), 210u * 138 * 3);
    for (int bits : {2, 4, 6, 8}) {
        Reduced r = reduce(false, 210 * 138, 1, 24, bits, photo);
        ASSERT_TRUE(r.ok);
        expectSameNearest(r.palette, 1 << bits, photo);
    }
}

}  // namespace
}  // namespace vrelk
