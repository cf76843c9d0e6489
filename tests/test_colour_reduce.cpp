// Colour reduction: exact palettes, the seeded quantiser, error diffusion,
// and the fast nearest-entry search against the plain scan.
#include <gtest/gtest.h>

#include <random>

#include "pixel/colour_reduce.h"
#include "pixel/convert.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct Bgr {
    std::uint8_t b, g, r;
    bool operator==(const Bgr&) const = default;
};

Bgr bgr(const RgbQuad& c) { return {c.rgbBlue, c.rgbGreen, c.rgbRed}; }

// A 24-bit image in memory order (bottom row first), padded rows.
Bytes rows24(int width, int height, const std::vector<Bgr>& pixels)
{
    const std::int64_t stride = rowLayout(width, 1, 24).stride;
    Bytes out(static_cast<std::size_t>(stride * height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const Bgr& p = pixels[static_cast<std::size_t>(y * width + x)];
            std::uint8_t* to = out.data() + y * stride + 3 * x;
            to[0] = p.b, to[1] = p.g, to[2] = p.r;
        }
    return out;
}

struct Reduced {
    bool ok = false;
    Palette palette{};
    Bytes pixels{};
};

// Through the dispatcher, packed at the target depth.
Reduced convert(int width, int height, int sourceBits, int targetBits, const Bytes& source,
                const Palette* palette = nullptr)
{
    PixelConverter converter;
    converter.width = width;
    converter.height = height;
    converter.sourceBits = sourceBits;
    converter.targetBits = targetBits;
    converter.computeLayout();
    Reduced r;
    r.pixels.resize(static_cast<std::size_t>(converter.imageSize));
    r.ok = convertPixels(r.palette.data(), r.pixels.data(), converter, palette ? palette->data() : nullptr,
                         source.data());
    return r;
}

// One index per byte.
Reduced indexBytes(int width, int height, int sourceBits, int targetBits, const Bytes& source,
                   const Palette* palette = nullptr)
{
    PixelConverter converter;
    converter.width = width;
    converter.height = height;
    converter.sourceBits = sourceBits;
    converter.targetBits = targetBits;
    buildDiffusionTables(converter);
    Reduced r;
    r.pixels.resize(static_cast<std::size_t>(width * height));
    r.ok = reduceToIndexBytes(palette ? palette->data() : nullptr, source.data(), r.palette.data(), converter,
                              r.pixels.data());
    return r;
}

constexpr Bgr kBlack{0, 0, 0}, kWhite{255, 255, 255}, kBlue{255, 0, 0}, kRed{0, 0, 255}, kGrey{128, 128, 128};

TEST(ColourReduce, FewColoursStayExactDarkestFirst)
{
    // 4 colours to 2 bits: exact, sorted by brightness, packed 4 to a byte.
    const std::vector<Bgr> four{kWhite, kRed, kBlack, {10, 200, 30}, kRed};
    Reduced r = convert(5, 1, 24, 2, rows24(5, 1, four));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(bgr(r.palette[0]), kBlack);
    EXPECT_EQ(bgr(r.palette[1]), (Bgr{10, 200, 30}));
    EXPECT_EQ(bgr(r.palette[2]), kRed);
    EXPECT_EQ(bgr(r.palette[3]), kWhite);
    EXPECT_EQ(r.pixels[0], 0b11100001);
    EXPECT_EQ(r.pixels[1], 0b10000000);

    // An 8-bit image keeps its palette order; colours repeated in the
    // palette are merged.
    Palette palette{};
    palette[0] = {1, 1, 1, 0};
    palette[1] = {9, 9, 9, 0};
    palette[2] = {1, 1, 1, 0};
    palette[3] = {5, 5, 5, 0};
    Reduced p = indexBytes(4, 1, 8, 4, {3, 2, 1, 0}, &palette);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.pixels, (Bytes{2, 0, 1, 0}));
    EXPECT_EQ(bgr(p.palette[2]), (Bgr{5, 5, 5}));

    // More distinct palette colours than the target holds: only the used
    // ones are kept, and none of them is lost.
    std::mt19937 random(3);
    for (auto& c : palette)
        c = {static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()), 0};
    p = indexBytes(3, 1, 8, 2, {200, 100, 50}, &palette);
    ASSERT_TRUE(p.ok);
    for (int x = 0; x < 3; ++x)
        EXPECT_EQ(bgr(p.palette[p.pixels[static_cast<std::size_t>(x)]]), bgr(palette[Bytes{200, 100, 50}[x]]));

    // Two colours at one bit keep their colours rather than black and white.
    p = indexBytes(3, 1, 24, 1, rows24(3, 1, {kRed, kBlue, kRed}));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(bgr(p.palette[p.pixels[0]]), kRed);
    EXPECT_EQ(bgr(p.palette[p.pixels[1]]), kBlue);
}

TEST(ColourReduce, FiveColoursAreQuantisedAroundTheSeeds)
{
    // Each seed takes its colour's cell; the grey takes none and is mapped
    // to the nearest (white), its error spread to the right.
    const std::vector<Bgr> five{kRed, kBlue, kWhite, kBlack, kGrey, kGrey};
    Reduced r = indexBytes(6, 1, 24, 2, rows24(6, 1, five));
    ASSERT_TRUE(r.ok);
    const std::vector<Bgr> expected{kBlack, kBlue, kRed, kWhite};  // equal brightness keeps seed order
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(bgr(r.palette[static_cast<std::size_t>(i)]), expected[static_cast<std::size_t>(i)]) << i;
    // The first grey goes white; 128 - 56 on the next is nearer black.
    EXPECT_EQ(r.pixels, (Bytes{2, 1, 3, 0, 3, 0}));

    // No black in a small image: the seed (0, 0, 0) still takes an empty
    // cell, whose average is black.
    const std::vector<Bgr> bright{kWhite, kGrey, {200, 100, 100}, {100, 200, 100}, {100, 100, 200}};
    r = indexBytes(5, 1, 24, 2, rows24(5, 1, bright));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(bgr(r.palette[0]), kBlack);
}

TEST(ColourReduce, TwoLevelsSpreadTheErrorInMemoryOrder)
{
    struct Case {
        const char* what;
        int width, height;
        std::uint8_t grey;
        Bytes bits;  // one byte per packed row
    };
    // 128 gives 1 and -127, of which -56 goes right: 72 gives 0.
    // A row passes 7/16 right only; a column 5/16 down only.
    const std::vector<Case> cases{
        {"uniform 128", 3, 1, 128, {0b10100000}},
        {"single row", 2, 1, 90, {0b01000000}},
        {"single column", 1, 2, 90, {0, 0}},
        {"square", 2, 2, 100, {0b01000000, 0}},
    };
    for (const Case& c : cases) {
        Palette palette{};
        palette[7] = {c.grey, c.grey, c.grey, 0};
        const std::int64_t stride = rowLayout(c.width, 1, 8).stride;
        Bytes source(static_cast<std::size_t>(stride * c.height));
        for (int y = 0; y < c.height; ++y)
            std::fill_n(source.begin() + y * stride, c.width, 7);
        Reduced r = convert(c.width, c.height, 8, 1, source, &palette);
        ASSERT_TRUE(r.ok) << c.what;
        EXPECT_EQ(bgr(r.palette[0]), kBlack);
        EXPECT_EQ(bgr(r.palette[1]), kWhite);
        for (int y = 0; y < c.height; ++y)
            EXPECT_EQ(r.pixels[static_cast<std::size_t>(4 * y)], c.bits[static_cast<std::size_t>(y)]) << c.what << " row " << y;
    }
}

TEST(ColourReduce, DispatcherPacksEveryReduction)
{
    std::vector<Bgr> pixels;
    for (int i = 0; i < 9 * 5; ++i)
        pixels.push_back({static_cast<std::uint8_t>(i * 5), static_cast<std::uint8_t>(255 - i * 3),
                          static_cast<std::uint8_t>(i * i % 256)});
    const Bytes source = rows24(9, 5, pixels);
    for (int bits : {1, 2, 4, 8}) {
        Reduced packed = convert(9, 5, 24, bits, source);
        Reduced bytes = indexBytes(9, 5, 24, bits, source);
        ASSERT_TRUE(packed.ok && bytes.ok) << bits;
        const std::int64_t stride = rowLayout(9, 1, bits).stride;
        const int perByte = 8 / bits;
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 9; ++x) {
                const std::uint8_t byte = packed.pixels[static_cast<std::size_t>(y * stride + x / perByte)];
                const int index = (byte >> (8 - bits - (x % perByte) * bits)) & ((1 << bits) - 1);
                ASSERT_EQ(index, bytes.pixels[static_cast<std::size_t>(y * 9 + x)]) << bits << " " << x << "," << y;
            }
    }
    // Not a reduction source, or no room for the palette.
    EXPECT_FALSE(convert(9, 5, 4, 2, source).ok);
    EXPECT_FALSE(indexBytes(9, 5, 24, 9, source).ok);
    EXPECT_FALSE(indexBytes(9, 5, 8, 4, source).ok);  // 8 bits without a palette
}

// The plain scan as the measure of the fast search.
void expectSameNearest(const Palette& palette, int count, const Bytes& pixels, const char* what)
{
    PixelConverter converter;
    buildSquares(converter);
    Palette target = palette;
    converter.targetPalette = target.data();
    NearestSearch search(palette.data(), count);
    int mismatches = 0;
    for (std::size_t i = 0; i + 3 <= pixels.size(); i += 3) {
        const int fast = search.find(&pixels[i]);
        const int plain = nearestEntry(converter, &pixels[i], count);
        if (fast != plain && mismatches++ < 5)
            ADD_FAILURE() << what << " pixel " << i / 3 << ": " << fast << " vs " << plain;
    }
}

TEST(ColourReduce, FastNearestSearchMatchesThePlainScan)
{
    std::mt19937 random(9);
    auto randomBytes = [&](std::size_t n) {
        Bytes out(n);
        for (auto& b : out)
            b = static_cast<std::uint8_t>(random());
        return out;
    };
    // Random palettes, some with repeated and near colours so that ties occur.
    for (int round = 0; round < 24; ++round) {
        const int count = 2 + static_cast<int>(random() % 255);
        Palette palette{};
        for (int i = 0; i < count; ++i) {
            const auto v = randomBytes(3);
            palette[static_cast<std::size_t>(i)] = {v[0], v[1], v[2], 0};
            if (round % 2 && i > 0 && random() % 4 == 0)
                palette[static_cast<std::size_t>(i)] = palette[random() % static_cast<std::size_t>(i)];
            if (round % 3 == 0)
                palette[static_cast<std::size_t>(i)].rgbBlue &= 0xF0;
        }
        expectSameNearest(palette, count, randomBytes(3 * 8000), "random");
    }

    // A photo, with the palettes the quantiser chooses for it.
    if (!fs::exists("/usr/bin/convert"))
        GTEST_SKIP() << "ImageMagick missing";
    test::ScratchFolder folder;
    auto made = test::runCommand("/usr/bin/convert rose: -resize 300% -depth 8 bgr:" + test::quoted(folder / "rose"));
    ASSERT_EQ(made.status, 0) << made.output;
    const std::string text = test::readText(folder / "rose");
    const Bytes photo(text.begin(), text.end());
    ASSERT_EQ(photo.size(), 210u * 138 * 3);
    for (int bits : {2, 4, 6, 8}) {
        Reduced r = indexBytes(210 * 138, 1, 24, bits, photo);
        ASSERT_TRUE(r.ok);
        expectSameNearest(r.palette, 1 << bits, photo, "photo");
    }
}

}  // namespace
}  // namespace vrelk
