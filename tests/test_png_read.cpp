// The PNG reader: chunk rules and status codes, the pixel rules (gamma,
// transparency, 16-bit samples, filters, interlace), damaged data, and files
// from independent encoders compared with their own decoder.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <tuple>
#include <sstream>

#include "test_support.h"
#include "platform/picture_cores.h"
#include "png_builder.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::decodePng;
using test::pngChunk;
using test::pngFile;
using test::Rgb;
using test::simplePng;

constexpr Rgb kWhite{255, 255, 255};

Bytes idat(const Bytes& rows) { return pngChunk("IDAT", test::deflateBytes(rows)); }

Bytes u32(std::uint32_t v)
{
    Bytes out;
    test::putU32(out, v);
    return out;
}

// A 2 x 2 8-bit grey image.
const Bytes kGreyRows{0, 10, 20, 0, 30, 40};

TEST(PngRead, StatusCodes)
{
    Bytes good = simplePng(2, 2, 8, 0, kGreyRows);
    Bytes badSignature = good;
    badSignature[1] = 'Q';
    Bytes badCrc = good;
    badCrc[29] ^= 1;
    Bytes longHeader = pngFile({pngChunk("IHDR", Bytes(14, 1)), test::iend()});
    Bytes wrongFirst = pngFile({pngChunk("IHDX", Bytes(13, 1)), test::iend()});
    auto header = [](int depth, int type, int compression, int filter, int interlace, std::uint32_t w = 2) {
        Bytes data = u32(w);
        Bytes h = u32(2);
        data.insert(data.end(), h.begin(), h.end());
        data.insert(data.end(), {static_cast<std::uint8_t>(depth), static_cast<std::uint8_t>(type),
                                 static_cast<std::uint8_t>(compression), static_cast<std::uint8_t>(filter),
                                 static_cast<std::uint8_t>(interlace)});
        return pngFile({pngChunk("IHDR", data), idat(kGreyRows), test::iend()});
    };
    Bytes hugeLength = pngFile({test::ihdr(2, 2, 8, 0), u32(0x80000000u), Bytes{'t', 'E', 'X', 't'}, Bytes(8, 0)});
    Bytes pastEnd = pngFile({test::ihdr(2, 2, 8, 0), u32(100), Bytes{'t', 'E', 'X', 't'}, Bytes(8, 0)});
    Bytes noEnd = pngFile({test::ihdr(2, 2, 8, 0), idat(kGreyRows)});
    Bytes twoHeaders = pngFile({test::ihdr(2, 2, 8, 0), test::ihdr(2, 2, 8, 0), idat(kGreyRows), test::iend()});
    Bytes endFirst = pngFile({test::ihdr(2, 2, 8, 0), test::iend()});
    Bytes paletteMissing = pngFile({test::ihdr(2, 2, 8, 3), idat(kGreyRows), test::iend()});
    Bytes twoPalettes = pngFile({test::ihdr(2, 2, 8, 3), pngChunk("PLTE", Bytes(6, 1)),
                                 pngChunk("PLTE", Bytes(6, 1)), idat(kGreyRows), test::iend()});
    Bytes paletteAfterData = pngFile({test::ihdr(2, 2, 8, 3), pngChunk("PLTE", Bytes(6, 1)), idat(kGreyRows),
                                      pngChunk("PLTE", Bytes(6, 1)), test::iend()});
    Bytes brokenRun = pngFile({test::ihdr(2, 2, 8, 0), idat(kGreyRows), idat(kGreyRows)});
    brokenRun[brokenRun.size() - 1] ^= 1;
    Bytes secondRun = pngFile({test::ihdr(2, 2, 8, 0), idat(kGreyRows), pngChunk("tEXt", {'a'}), idat(kGreyRows),
                               test::iend()});
    Bytes badEnd = good;
    badEnd.back() ^= 1;

    const struct {
        const char* name;
        Bytes bytes;
        CodecError code;
    } cases[] = {
        {"shorter than 33 bytes", Bytes(good.begin(), good.begin() + 32), CodecError::truncated},
        {"wrong signature", badSignature, CodecError::notThisFormat},
        {"IHDR length", longHeader, CodecError::pngHeaderLength},
        {"first chunk not IHDR", wrongFirst, CodecError::pngHeaderMissing},
        {"IHDR CRC", badCrc, CodecError::pngBadCrc},
        {"width 25001", header(8, 0, 0, 0, 0, 25001), CodecError::tooLarge},
        {"width 0", header(8, 0, 0, 0, 0, 0), CodecError::damaged},
        {"colour type 3 at 16 bits", header(16, 3, 0, 0, 0), CodecError::pngBadColourType},
        {"colour type 2 at 4 bits", header(4, 2, 0, 0, 0), CodecError::pngBadColourType},
        {"colour type 5", header(8, 5, 0, 0, 0), CodecError::pngBadColourType},
        {"depth 3", header(3, 0, 0, 0, 0), CodecError::pngBadBitDepth},
        {"compression 1", header(8, 0, 1, 0, 0), CodecError::pngBadCompression},
        {"filter method 1", header(8, 0, 0, 1, 0), CodecError::pngBadFilterMethod},
        {"interlace 2", header(8, 0, 0, 0, 2), CodecError::pngBadInterlace},
        {"length 2^31", hugeLength, CodecError::pngChunkTooLong},
        {"chunk past the end", pastEnd, CodecError::damaged},
        {"no IEND", noEnd, CodecError::pngBrokenDataRun},
        {"second IHDR", twoHeaders, CodecError::pngChunkOrder},
        {"IEND before IDAT", endFirst, CodecError::pngMissingData},
        {"palette image without PLTE", paletteMissing, CodecError::pngMissingData},
        {"second PLTE", twoPalettes, CodecError::pngChunkOrder},
        {"PLTE after the data", paletteAfterData, CodecError::pngChunkOrder},
        {"later IDAT CRC", brokenRun, CodecError::pngBrokenDataRun},
        {"IDAT after the run", secondRun, CodecError::pngChunkOrder},
        {"IEND CRC", badEnd, CodecError::pngBadCrc},
    };
    for (const auto& c : cases) {
        test::Decoded d = decodePng(c.bytes);
        EXPECT_FALSE(d.ok) << c.name;
        EXPECT_EQ(d.errorCode, c.code) << c.name;
    }
    test::Decoded d = decodePng(good);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.index(1, 1), 40);
    EXPECT_EQ(d.errorCode, std::nullopt);
}

TEST(PngRead, WidthLimitAndUnknownChunks)
{
    Bytes row(1 + 25000, 0);
    row[25000] = 7;
    Bytes wide = simplePng(25000, 1, 8, 0, row, {pngChunk("ABCD", {1, 2, 3}), pngChunk("bKGD", {0, 9})});
    test::Decoded d = decodePng(wide);
    ASSERT_TRUE(d.ok) << d.errorCode;
    EXPECT_EQ(d.width, 25000);
    EXPECT_EQ(d.index(24999, 0), 7);
}

TEST(PngRead, AlphaIsCompositedOverWhite)
{
    Bytes rows{0, 10, 20, 30, 0, 10, 20, 30, 255, 0, 0, 0, 128, 200, 200, 200, 128};
    test::Decoded d = decodePng(simplePng(4, 1, 8, 6, rows));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.bits, 24);
    EXPECT_EQ(d.at(0, 0), kWhite);
    EXPECT_EQ(d.at(1, 0), (Rgb{10, 20, 30}));
    EXPECT_EQ(d.at(2, 0), (Rgb{127, 127, 127}));
    EXPECT_EQ(d.at(3, 0), (Rgb{227, 227, 227}));

    test::Decoded greyAlpha = decodePng(simplePng(2, 1, 8, 4, {0, 0, 128, 90, 0}));
    ASSERT_TRUE(greyAlpha.ok);
    EXPECT_EQ(greyAlpha.at(0, 0), (Rgb{127, 127, 127}));
    EXPECT_EQ(greyAlpha.at(1, 0), kWhite);
}

TEST(PngRead, LowDepthGreyRampsAndSixteenBitHighBytes)
{
    test::Decoded one = decodePng(simplePng(8, 1, 1, 0, {0, 0b10100000}));
    ASSERT_TRUE(one.ok);
    EXPECT_EQ(one.palette[1].rgbRed, 255);
    EXPECT_EQ(one.index(0, 0), 1);
    EXPECT_EQ(one.index(1, 0), 0);
    EXPECT_EQ(one.index(2, 0), 1);

    test::Decoded two = decodePng(simplePng(3, 1, 2, 0, {0, 0b00011011}));
    ASSERT_TRUE(two.ok);
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(two.palette[static_cast<std::size_t>(k)].rgbGreen, 85 * k);
    EXPECT_EQ(two.index(2, 0), 2);  // the last byte holds three of four pixels

    test::Decoded four = decodePng(simplePng(1, 1, 4, 0, {0, 0xF0}));
    ASSERT_TRUE(four.ok);
    EXPECT_EQ(four.palette[15].rgbBlue, 255);
    EXPECT_EQ(four.palette[1].rgbBlue, 17);
    EXPECT_EQ(four.index(0, 0), 15);

    test::Decoded grey16 = decodePng(simplePng(1, 1, 16, 0, {0, 0x12, 0x34}));
    ASSERT_TRUE(grey16.ok);
    EXPECT_EQ(grey16.index(0, 0), 0x12);

    // Sub over two pixels: the low bytes carry into nothing.
    test::Decoded rgb16 = decodePng(simplePng(2, 1, 16, 2, {1, 1, 0xFF, 2, 0xFF, 3, 0xFF, 1, 0xFF, 1, 0xFF, 1, 0xFF}));
    ASSERT_TRUE(rgb16.ok);
    EXPECT_EQ(rgb16.at(0, 0), (Rgb{1, 2, 3}));
    EXPECT_EQ(rgb16.at(1, 0), (Rgb{2, 3, 4}));
}

TEST(PngRead, FiltersAndUnknownFilterBytes)
{
    // Row 1 Up, row 2 Average, row 3 Paeth, row 4 byte 5 (taken as None).
    Bytes rows{1, 10, 5, 2, 1, 1, 3, 4, 4, 4, 2, 250, 5, 9, 8};
    test::Decoded d = decodePng(simplePng(2, 4, 8, 0, rows));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.index(0, 0), 10);
    EXPECT_EQ(d.index(1, 0), 15);
    EXPECT_EQ(d.index(0, 1), 11);
    EXPECT_EQ(d.index(1, 1), 16);
    EXPECT_EQ(d.index(0, 2), 4 + 11 / 2);
    EXPECT_EQ(d.index(1, 2), 4 + (9 + 16) / 2);
    EXPECT_EQ(d.index(0, 3), static_cast<std::uint8_t>(2 + 9));      // Paeth of (0, 9, 0) is 9
    EXPECT_EQ(d.index(1, 3), static_cast<std::uint8_t>(250 + 16));  // Paeth of (11, 16, 9) is 16
    test::Decoded none = decodePng(simplePng(2, 1, 8, 0, {5, 9, 8}));
    ASSERT_TRUE(none.ok);
    EXPECT_EQ(none.index(0, 0), 9);
    EXPECT_EQ(none.index(1, 0), 8);
}

TEST(PngRead, SplitDataDecodesAsOneChunk)
{
    Bytes rows;
    for (int y = 0; y < 20; ++y) {
        rows.push_back(static_cast<std::uint8_t>(y % 5));
        for (int x = 0; x < 60; ++x)
            rows.push_back(static_cast<std::uint8_t>(x * 7 + y * 3));
    }
    Bytes stream = test::deflateBytes(rows);
    Bytes split = pngFile({test::ihdr(20, 20, 8, 2)});
    for (std::size_t i = 0; i < stream.size(); i += 7) {
        Bytes piece(stream.begin() + static_cast<std::ptrdiff_t>(i),
                    stream.begin() + static_cast<std::ptrdiff_t>(std::min(stream.size(), i + 7)));
        Bytes chunk = pngChunk("IDAT", piece);
        split.insert(split.end(), chunk.begin(), chunk.end());
    }
    Bytes empty = pngChunk("IDAT", {});
    split.insert(split.end(), empty.begin(), empty.end());
    Bytes end = test::iend();
    split.insert(split.end(), end.begin(), end.end());
    test::Decoded whole = decodePng(simplePng(20, 20, 8, 2, rows));
    test::Decoded pieces = decodePng(split);
    ASSERT_TRUE(whole.ok);
    ASSERT_TRUE(pieces.ok);
    EXPECT_EQ(whole.rgb, pieces.rgb);
}

TEST(PngRead, GammaTable)
{
    Bytes rows{0};
    for (int v = 0; v < 256; ++v)
        rows.push_back(static_cast<std::uint8_t>(v));
    test::Decoded same = decodePng(simplePng(256, 1, 8, 0, rows, {pngChunk("gAMA", u32(45455))}));
    ASSERT_TRUE(same.ok);
    for (int v = 0; v < 256; ++v)
        EXPECT_EQ(same.palette[static_cast<std::size_t>(v)].rgbRed, v);

    test::Decoded linear = decodePng(simplePng(256, 1, 8, 0, rows, {pngChunk("gAMA", u32(100000))}));
    ASSERT_TRUE(linear.ok);
    const std::pair<int, int> mapped[] = {{0, 0}, {1, 21}, {64, 136}, {128, 186}, {200, 228}, {255, 255}};
    for (auto [from, to] : mapped)
        EXPECT_EQ(linear.palette[static_cast<std::size_t>(from)].rgbGreen, to) << from;

    test::Decoded rgb = decodePng(simplePng(1, 1, 8, 2, {0, 1, 64, 128}, {pngChunk("gAMA", u32(100000))}));
    ASSERT_TRUE(rgb.ok);
    EXPECT_EQ(rgb.at(0, 0), (Rgb{21, 136, 186}));
}

TEST(PngRead, LateGammaAndTransparencyAreIgnored)
{
    Bytes afterData = pngFile({test::ihdr(1, 1, 8, 0), idat({0, 64}), pngChunk("gAMA", u32(100000)),
                               pngChunk("tRNS", {0, 64}), test::iend()});
    test::Decoded d = decodePng(afterData);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.at(0, 0), (Rgb{64, 64, 64}));

    Bytes afterPalette = pngFile({test::ihdr(1, 1, 8, 3), pngChunk("PLTE", {64, 64, 64}),
                                  pngChunk("gAMA", u32(100000)), idat({0, 0}), test::iend()});
    test::Decoded p = decodePng(afterPalette);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.at(0, 0), (Rgb{64, 64, 64}));

    Bytes badCrc = pngChunk("gAMA", u32(100000));
    badCrc.back() ^= 1;
    test::Decoded c = decodePng(simplePng(1, 1, 8, 0, {0, 64}, {badCrc}));
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(c.at(0, 0), (Rgb{64, 64, 64}));
}

TEST(PngRead, TransparencyChunks)
{
    // Entry 0 fully transparent, entry 1 half, entry 2 beyond the chunk.
    Bytes palette{10, 20, 30, 0, 0, 0, 40, 50, 60};
    test::Decoded pal = decodePng(
        simplePng(3, 1, 8, 3, {0, 0, 1, 2}, {pngChunk("PLTE", palette), pngChunk("tRNS", {0, 128})}));
    ASSERT_TRUE(pal.ok);
    EXPECT_EQ(pal.at(0, 0), kWhite);
    EXPECT_EQ(pal.at(1, 0), (Rgb{127, 127, 127}));
    EXPECT_EQ(pal.at(2, 0), (Rgb{40, 50, 60}));

    test::Decoded grey = decodePng(simplePng(2, 1, 1, 0, {0, 0b01000000}, {pngChunk("tRNS", {0, 1})}));
    ASSERT_TRUE(grey.ok);
    EXPECT_EQ(grey.at(0, 0), (Rgb{0, 0, 0}));
    EXPECT_EQ(grey.at(1, 0), kWhite);

    // A tRNS longer than the palette is not taken; one exactly as long is.
    test::Decoded tooLong = decodePng(
        simplePng(1, 1, 8, 3, {0, 0}, {pngChunk("PLTE", {1, 2, 3}), pngChunk("tRNS", {0, 0})}));
    ASSERT_TRUE(tooLong.ok);
    EXPECT_EQ(tooLong.at(0, 0), (Rgb{1, 2, 3}));
    test::Decoded asLong = decodePng(
        simplePng(3, 1, 8, 3, {0, 0, 1, 2}, {pngChunk("PLTE", palette), pngChunk("tRNS", {255, 255, 0})}));
    ASSERT_TRUE(asLong.ok);
    EXPECT_EQ(asLong.at(0, 0), (Rgb{10, 20, 30}));
    EXPECT_EQ(asLong.at(2, 0), kWhite) << "the last entry's alpha is used";
}

TEST(PngRead, ColourKeyIsMatchedBeforeGamma)
{
    Bytes key = test::be16({100, 150, 200});
    test::Decoded d = decodePng(simplePng(
        2, 1, 8, 2, {0, 100, 150, 200, 100, 150, 201},
        {pngChunk("gAMA", u32(100000)), pngChunk("tRNS", key)}));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.at(0, 0), kWhite);
    EXPECT_NE(d.at(1, 0), kWhite);
    EXPECT_GT(d.at(1, 0).r, 100);  // gamma still applies to the others

    Bytes key16 = test::be16({0x1200, 0x3400, 0x5600});
    test::Decoded wide = decodePng(simplePng(1, 1, 16, 2, {0, 0x12, 9, 0x34, 9, 0x56, 9}, {pngChunk("tRNS", key16)}));
    ASSERT_TRUE(wide.ok);
    EXPECT_EQ(wide.at(0, 0), kWhite);
}

TEST(PngRead, InterlacedOnePixel)
{
    Bytes file = pngFile({test::ihdr(1, 1, 8, 2, 1), idat({0, 7, 8, 9}), test::iend()});
    test::Decoded d = decodePng(file);
    ASSERT_TRUE(d.ok) << d.errorCode;
    EXPECT_EQ(d.errorCode, std::nullopt);  // the stream ends with the first pass
    EXPECT_EQ(d.at(0, 0), (Rgb{7, 8, 9}));
}

TEST(PngRead, TruncatedStreamGivesPartialPicture)
{
    Bytes rows;
    for (int y = 0; y < 64; ++y) {
        rows.push_back(0);
        for (int x = 0; x < 64 * 3; ++x)
            rows.push_back(static_cast<std::uint8_t>(x * 31 + y * 17 + 1));
    }
    Bytes stream = test::deflateBytes(rows);
    for (std::size_t cut : {stream.size() / 3, stream.size() * 2 / 3, std::size_t{3}}) {
        Bytes partial(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
        test::Decoded rgb = decodePng(pngFile({test::ihdr(64, 64, 8, 2), pngChunk("IDAT", partial), test::iend()}));
        ASSERT_TRUE(rgb.ok) << cut;
        EXPECT_EQ(rgb.errorCode, CodecError::pngZlib);
        EXPECT_EQ(rgb.at(63, 63), (Rgb{0, 0, 0}));

        test::Decoded rgba =
            decodePng(pngFile({test::ihdr(48, 64, 8, 6), pngChunk("IDAT", partial), test::iend()}));
        ASSERT_TRUE(rgba.ok);
        EXPECT_EQ(rgba.at(47, 63), kWhite);
    }
    test::Decoded first = decodePng(pngFile(
        {test::ihdr(64, 64, 8, 2), pngChunk("IDAT", Bytes(stream.begin(), stream.begin() + stream.size() / 2)),
         test::iend()}));
    EXPECT_EQ(first.at(0, 0), (Rgb{1, 32, 63}));

    Bytes garbage = stream;
    for (std::size_t i = 40; i < garbage.size(); i += 3)
        garbage[i] ^= 0x5A;
    test::Decoded damaged = decodePng(pngFile({test::ihdr(64, 64, 8, 2, 1), pngChunk("IDAT", garbage), test::iend()}));
    EXPECT_TRUE(damaged.ok);
}

// Large pictures inflate on a lent core ahead of the unfiltering: the same
// rows, and the same end, for whole, cut and damaged streams.
TEST(PngRead, SameRowsWhenInflatedAhead)
{
    struct Shape {
        std::uint32_t width, height;
        int depth, colourType, bytesPerPixel;
    };
    for (const Shape& shape : {Shape{1024, 1400, 8, 2, 3}, Shape{600, 900, 16, 6, 8}}) {
        const std::size_t rowBytes = std::size_t{shape.width} * static_cast<std::size_t>(shape.bytesPerPixel);
        Bytes rows;
        std::uint32_t noise = 1;
        for (std::uint32_t y = 0; y < shape.height; ++y) {
            rows.push_back(static_cast<std::uint8_t>(y % 7));  // every filter, and 5 and 6 taken as None
            for (std::size_t x = 0; x < rowBytes; ++x) {
                noise = noise * 1103515245u + 12345u;
                rows.push_back(static_cast<std::uint8_t>((x * 3 + y) / 5 + (noise >> 28)));
            }
        }
        const Bytes stream = test::deflateBytes(rows);
        const std::size_t fewerRows = (rows.size() / (rowBytes + 1)) * 2 / 3 * (rowBytes + 1);
        Bytes garbage = stream;
        for (std::size_t i = garbage.size() / 2; i < garbage.size() / 2 + 64; ++i)
            garbage[i] ^= 0xA5;
        const std::pair<const char*, Bytes> streams[] = {
            {"whole", stream},
            {"cut at a third", Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(stream.size() / 3))},
            {"damaged in the middle", garbage},
            {"ending two thirds down", test::deflateBytes(Bytes(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(fewerRows)))},
        };
        for (const auto& [name, data] : streams) {
            const Bytes file = pngFile({test::ihdr(shape.width, shape.height, shape.depth, shape.colourType),
                                        pngChunk("IDAT", data), test::iend()});
            const test::Decoded alone = decodePng(file);
            for (int cores : {2, 3}) {
                platform::WorkerSlots slots(cores);
                const platform::HeldWorkerSlot own(&slots);
                const platform::PictureCoresScope lent({&slots, false});
                const test::Decoded ahead = decodePng(file);
                EXPECT_EQ(ahead.ok, alone.ok) << name << ", " << cores << " cores";
                EXPECT_EQ(ahead.errorCode, alone.errorCode) << name << ", " << cores << " cores";
                EXPECT_TRUE(ahead.rgb == alone.rgb) << name << ", " << cores << " cores";
            }
        }
    }
}

TEST(PngRead, Resolution)
{
    Bytes metre = u32(3780);
    Bytes y = u32(2000);
    metre.insert(metre.end(), y.begin(), y.end());
    Bytes unknownUnit = metre;
    metre.push_back(1);
    unknownUnit.push_back(0);
    test::Decoded d = decodePng(simplePng(1, 1, 8, 0, {0, 0}, {pngChunk("pHYs", metre)}));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.xPerMetre, 3780);
    EXPECT_EQ(d.yPerMetre, 2000);
    test::Decoded u = decodePng(simplePng(1, 1, 8, 0, {0, 0}, {pngChunk("pHYs", unknownUnit)}));
    ASSERT_TRUE(u.ok);
    EXPECT_EQ(u.xPerMetre, 0);
}

// Files from Pillow and ImageMagick, compared with Pillow's decode after
// the reader's gamma and compositing rules (tests/png_fixtures.py).
TEST(PngRead, IndependentEncoders)
{
    VRELK_REQUIRE_TOOLS(test::havePillow() && test::haveImageMagick(), "Pillow or ImageMagick");
    test::ScratchFolder folder;
    fs::path script = fs::path(__FILE__).parent_path() / "png_fixtures.py";
    auto made = test::runCommand(test::python() + " " + test::quoted(script) + " " + test::quoted(folder.path()));
    ASSERT_EQ(made.status, 0) << made.output;

    std::ifstream manifest(folder / "manifest.txt");
    int files = 0;
    std::set<std::tuple<int, int, int>> kinds;
    for (std::string line; std::getline(manifest, line);) {
        std::istringstream fields(line);
        std::string name;
        int depth = 0, type = 0, interlace = 0;
        fields >> name >> depth >> type >> interlace;
        kinds.insert({depth, type, interlace});
        test::Decoded d = test::decodePngFile(folder / (name + ".png"));
        ASSERT_TRUE(d.ok) << name << " " << d.errorCode;
        EXPECT_EQ(d.errorCode, std::nullopt) << name;
        std::string expected = test::readText(folder / (name + ".rgb"));
        ASSERT_EQ(expected.size(), 8 + 3 * static_cast<std::size_t>(d.width * d.height)) << name;
        int mismatches = 0;
        for (int i = 0; i < d.width * d.height; ++i) {
            const auto* e = reinterpret_cast<const std::uint8_t*>(expected.data()) + 8 + 3 * i;
            const Rgb& got = d.rgb[static_cast<std::size_t>(i)];
            if (got != Rgb{e[0], e[1], e[2]} && mismatches++ < 3)
                ADD_FAILURE() << name << " pixel " << i << ": got " << int(got.r) << "," << int(got.g) << ","
                              << int(got.b) << " want " << int(e[0]) << "," << int(e[1]) << "," << int(e[2]);
        }
        ++files;
    }
    EXPECT_GE(files, 40);
    EXPECT_GE(kinds.size(), 26u);
}

}  // namespace
}  // namespace vrelk
