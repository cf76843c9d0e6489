#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "pixel/bit_depth.h"

namespace vrelk {
namespace {

RgbQuad colour(int index)
{
    return RgbQuad{static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(255 - index),
                   static_cast<std::uint8_t>(index * 7), 0};
}

Palette rampPalette()
{
    Palette palette{};
    for (int i = 0; i < 256; ++i)
        palette[i] = colour(i);
    return palette;
}

struct Converted {
    bool ok = false;
    std::vector<std::uint8_t> pixels;
    std::int64_t stride = 0;
};

// Runs one conversion into a fresh target filled with `fill`.
Converted convert(std::int32_t width, std::int32_t height, int sourceBits, int targetBits,
                  const std::vector<std::uint8_t>& source, const Palette& sourcePalette, Palette* targetPalette,
                  std::uint8_t fill = 0)
{
    PixelConverter converter;
    converter.width = width;
    converter.height = height;
    converter.sourceBits = sourceBits;
    converter.targetBits = targetBits;
    converter.computeLayout();
    Converted result;
    result.stride = converter.stride;
    result.pixels.assign(static_cast<std::size_t>(converter.imageSize), fill);
    result.ok = convertPixels(targetPalette ? targetPalette->data() : nullptr, result.pixels.data(), converter,
                              sourcePalette.data(), source.data())
                    .ok();
    return result;
}

std::vector<std::uint8_t> row(const Converted& c, std::int64_t y, std::int64_t bytes)
{
    auto begin = c.pixels.begin() + y * c.stride;
    return {begin, begin + bytes};
}

TEST(ConvertPixels, UnpacksPackedRowsToOneIndexPerByte)
{
    const Palette source = rampPalette();
    Palette target{};
    target[200] = colour(9);

    // Width 9: two source bytes a row, stride 4; target stride 12.
    Converted one = convert(9, 2, 1, 8, {0b10000001, 0x80, 0, 0, 0x7F, 0x00, 0, 0}, source, &target);
    ASSERT_TRUE(one.ok);
    EXPECT_EQ(one.stride, 12);
    EXPECT_EQ(row(one, 0, 9), (std::vector<std::uint8_t>{1, 0, 0, 0, 0, 0, 0, 1, 1}));
    EXPECT_EQ(row(one, 1, 9), (std::vector<std::uint8_t>{0, 1, 1, 1, 1, 1, 1, 1, 0}));
    // Only the entries a 1-bit image can use are copied.
    EXPECT_EQ(target[1].rgbGreen, source[1].rgbGreen);
    EXPECT_EQ(target[2].rgbGreen, 0);
    EXPECT_EQ(target[200].rgbBlue, 9);

    // Width 5 at 2 bits: two source bytes, five target bytes.
    target = Palette{};
    Converted two = convert(5, 2, 2, 8, {0b00011011, 0b10000000, 0, 0, 0xFF, 0xC0, 0, 0}, source, &target);
    ASSERT_TRUE(two.ok);
    EXPECT_EQ(row(two, 0, 8), (std::vector<std::uint8_t>{0, 1, 2, 3, 2, 0, 0, 0}));
    EXPECT_EQ(row(two, 1, 5), (std::vector<std::uint8_t>{3, 3, 3, 3, 3}));
    EXPECT_EQ(target[3].rgbRed, source[3].rgbRed);
    EXPECT_EQ(target[4].rgbRed, 0);

    target = Palette{};
    Converted four = convert(3, 1, 4, 8, {0xA5, 0xF0, 0, 0}, source, &target);
    ASSERT_TRUE(four.ok);
    EXPECT_EQ(row(four, 0, 3), (std::vector<std::uint8_t>{10, 5, 15}));
    EXPECT_EQ(target[15].rgbRed, source[15].rgbRed);
    EXPECT_EQ(target[16].rgbRed, 0);
}

TEST(ConvertPixels, ExpandsPaletteIndicesToColour)
{
    const Palette palette = rampPalette();
    auto bgr = [&](int index) {
        const RgbQuad& c = palette[index];
        return std::vector<std::uint8_t>{c.rgbBlue, c.rgbGreen, c.rgbRed};
    };
    auto concat = [](std::vector<std::vector<std::uint8_t>> parts) {
        std::vector<std::uint8_t> all;
        for (auto& part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    };

    Converted one = convert(3, 2, 1, 24, {0b10100000, 0, 0, 0, 0b01000000, 0, 0, 0}, palette, nullptr);
    ASSERT_TRUE(one.ok);
    EXPECT_EQ(one.stride, 12);
    EXPECT_EQ(row(one, 0, 9), concat({bgr(1), bgr(0), bgr(1)}));
    EXPECT_EQ(row(one, 1, 9), concat({bgr(0), bgr(1), bgr(0)}));

    Converted four = convert(3, 1, 4, 24, {0x3C, 0x70, 0, 0}, palette, nullptr);
    ASSERT_TRUE(four.ok);
    EXPECT_EQ(row(four, 0, 9), concat({bgr(3), bgr(12), bgr(7)}));

    // Width 2: 8-bit rows 4 bytes apart, 24-bit rows 8 bytes apart.
    Converted eight = convert(2, 2, 8, 24, {200, 17, 0, 0, 255, 0, 0, 0}, palette, nullptr);
    ASSERT_TRUE(eight.ok);
    EXPECT_EQ(eight.stride, 8);
    EXPECT_EQ(row(eight, 0, 6), concat({bgr(200), bgr(17)}));
    EXPECT_EQ(row(eight, 1, 6), concat({bgr(255), bgr(0)}));
}

TEST(ConvertPixels, CopiesUnchangedDepthsWithTheirPalette)
{
    const Palette source = rampPalette();
    Palette target{};
    const std::vector<std::uint8_t> eight{1, 2, 3, 0, 4, 5, 6, 0};
    Converted same = convert(3, 2, 8, 8, eight, source, &target);
    ASSERT_TRUE(same.ok);
    EXPECT_EQ(row(same, 0, 3), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(row(same, 1, 3), (std::vector<std::uint8_t>{4, 5, 6}));
    EXPECT_EQ(target[255].rgbRed, source[255].rgbRed);

    // Converting in place of the palette is allowed.
    Palette shared = rampPalette();
    PixelConverter converter;
    converter.width = 1;
    converter.height = 1;
    converter.sourceBits = 1;
    converter.targetBits = 8;
    converter.computeLayout();
    std::array<std::uint8_t, 4> in{0x80, 0, 0, 0}, out{};
    ASSERT_TRUE(convertPixels(shared.data(), out.data(), converter, shared.data(), in.data()));
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(shared[1].rgbRed, colour(1).rgbRed);

    const std::vector<std::uint8_t> colourRows{1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0, 0};
    Converted copy = convert(3, 2, 24, 24, colourRows, source, nullptr);
    ASSERT_TRUE(copy.ok);
    EXPECT_EQ(row(copy, 0, 9), std::vector<std::uint8_t>(colourRows.begin(), colourRows.begin() + 9));
    EXPECT_EQ(row(copy, 1, 9), std::vector<std::uint8_t>(colourRows.begin() + 12, colourRows.begin() + 21));
}

TEST(ConvertPixels, WidensAndNarrowsBetween24And48Bits)
{
    const Palette none{};
    // 3 x 2 at 24 bits: rows of 9 bytes padded to 12; at 48 bits 18 bytes, unpadded.
    std::vector<std::uint8_t> narrow(24, 0);
    for (int y = 0; y < 2; ++y)
        for (int i = 0; i < 9; ++i)
            narrow[y * 12 + i] = static_cast<std::uint8_t>(10 * y + i + 1);

    Converted wide = convert(3, 2, 24, 48, narrow, none, nullptr);
    ASSERT_TRUE(wide.ok);
    ASSERT_EQ(wide.pixels.size(), 36u);
    EXPECT_EQ(row(wide, 0, 6), (std::vector<std::uint8_t>{0, 1, 0, 2, 0, 3}));
    EXPECT_EQ(row(wide, 1, 6), (std::vector<std::uint8_t>{0, 11, 0, 12, 0, 13}));

    // Low bytes are dropped on the way back.
    std::vector<std::uint8_t> wideSource = wide.pixels;
    for (std::size_t i = 0; i < wideSource.size(); i += 2)
        wideSource[i] = 0xEE;
    Converted back = convert(3, 2, 48, 24, wideSource, none, nullptr);
    ASSERT_TRUE(back.ok);
    EXPECT_EQ(back.stride, 12);
    EXPECT_EQ(back.pixels, narrow);
}

TEST(ConvertPixels, UnlistedPairsFailWithoutTouchingTheTarget)
{
    const Palette palette = rampPalette();
    const std::vector<std::uint8_t> source(25000, 0x5A);
    // The reductions to 1, 2, 4 and 8 bits are covered with colour reduction.
    const std::vector<std::pair<int, int>> pairs{{48, 8}, {2, 24}, {1, 4}, {48, 1}, {16, 24}, {32, 24}, {8, 48}};
    for (auto [from, to] : pairs) {
        SCOPED_TRACE(testing::Message() << from << " -> " << to);
        Palette target{};
        Converted result = convert(4, 4, from, to, source, palette, &target, 0xCC);
        EXPECT_FALSE(result.ok);
        EXPECT_TRUE(std::all_of(result.pixels.begin(), result.pixels.end(), [](auto b) { return b == 0xCC; }));
        EXPECT_EQ(target[1].rgbRed, 0);
    }

    // A paletted target needs somewhere to put its palette.
    EXPECT_FALSE(convert(4, 4, 8, 8, source, palette, nullptr).ok);
    EXPECT_FALSE(convert(0, 4, 24, 24, source, palette, nullptr).ok);
}

TEST(ConvertToGrey, UsesThePaletteFormulaAndTheSeparatelyTruncatedColourFormula)
{
    Palette palette{};
    palette[1] = RgbQuad{255, 255, 255, 0};
    palette[2] = RgbQuad{30, 20, 10, 0};  // blue 30, green 20, red 10
    PixelConverter converter;
    converter.width = 3;
    converter.height = 2;
    converter.sourceBits = 8;
    converter.targetBits = 8;
    const std::vector<std::uint8_t> indices{0, 1, 2, 0, 2, 1, 0, 0};
    std::vector<std::uint8_t> grey(6, 0xCC);
    ASSERT_TRUE(convertToGrey(converter, palette.data(), indices.data(), grey.data()));
    const std::uint8_t mixed = (20 * 603 + 10 * 306 + 30 * 117) >> 10;
    EXPECT_EQ(grey, (std::vector<std::uint8_t>{0, 255, mixed, mixed, 255, 0}));

    // From 24 bits each channel is truncated on its own: 76 + 29 + 150 for
    // white, and 3 + 11 + 2 here, where the palette formula gives 18.
    converter.sourceBits = 24;
    converter.width = 2;
    converter.height = 1;
    const std::vector<std::uint8_t> colours{255, 255, 255, 30, 20, 10, 0, 0};
    std::vector<std::uint8_t> grey24(2, 0);
    ASSERT_TRUE(convertToGrey(converter, nullptr, colours.data(), grey24.data()));
    EXPECT_EQ(grey24[0], 255);
    EXPECT_EQ(grey24[1], 16);
    EXPECT_EQ(mixed, 18);

    converter.sourceBits = 4;
    EXPECT_FALSE(convertToGrey(converter, palette.data(), indices.data(), grey.data()));
    converter.sourceBits = 24;
    converter.targetBits = 24;
    EXPECT_FALSE(convertToGrey(converter, nullptr, colours.data(), grey24.data()));
}

}  // namespace
}  // namespace vrelk
