#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "bmp_test_support.h"
#include "codecs/bmp.h"
#include "codec_test_support.h"
#include "codecs/byte_cursor.h"
#include "codecs/files.h"

namespace vrelk {
namespace {

using testing::BmpRecipe;
using testing::buildBmp;
using testing::readFile;
using testing::writeFile;

// ---- codec file access -------------------------------------------------------

class CodecFileTest : public testing::TempFolderTest {};

TEST_F(CodecFileTest, ReadingFailsAsCannotOpenForMissingAndEmptyFiles)
{
    Result<InputFile> missing = InputFile::read(file("missing"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), CodecError::cannotOpen);

    writeFile(file("empty"), {});
    Result<InputFile> empty = InputFile::read(file("empty"));
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error(), CodecError::cannotOpen);
}

TEST_F(CodecFileTest, CursorReadsBothByteOrdersWithinTheFile)
{
    writeFile(file("in"), {1, 2, 1, 2, 0x12, 0x34, 0x56, 0x78, 9});
    Result<InputFile> input = InputFile::read(file("in"));
    ASSERT_TRUE(input);
    ByteCursor in = input->cursor();
    ASSERT_EQ(in.size(), 9u);

    EXPECT_EQ(in.u16be(), 258);
    EXPECT_EQ(in.u16le(), 513);
    EXPECT_EQ(in.offset(), 4u);
    const ByteOrderReaders big = kBigEndianReaders;
    EXPECT_EQ(big.u32(in), 0x12345678u);
    ASSERT_TRUE(in.seek(4));
    EXPECT_EQ(kLittleEndianReaders.u32(in), 0x78563412u);

    // One byte left: a wider read fails and leaves the cursor where it was.
    EXPECT_EQ(in.u32le(), std::nullopt);
    EXPECT_EQ(in.left(), 1u);
    EXPECT_FALSE(in.seek(10));
    EXPECT_FALSE(in.take(2));
    EXPECT_FALSE(in.skip(2));
    ASSERT_TRUE(in.seek(8));
    EXPECT_EQ((*in.take(1))[0], 9);
    EXPECT_EQ(in.u8(), std::nullopt);
}

TEST_F(CodecFileTest, SwapsHeaderAndOutputHelpers)
{
    EXPECT_EQ(Swap16(0x1234), 0x3412);
    EXPECT_EQ(Swap32(0x12345678u), 0x78563412u);

    Result<OutputFile> missingFolder = OutputFile::create(file("no-folder") / "out");
    ASSERT_FALSE(missingFolder);
    EXPECT_EQ(missingFolder.error(), CodecError::cannotCreate);
    Result<OutputFile> out = OutputFile::create(file("out"));
    ASSERT_TRUE(out);
    out->writeU32BE(0x0102A0FFu);
    EXPECT_TRUE(out->finish());
    EXPECT_EQ(readFile(file("out")), (std::vector<std::uint8_t>{1, 2, 0xA0, 0xFF}));

    if (std::filesystem::exists("/dev/full")) {
        Result<OutputFile> full = OutputFile::create("/dev/full");
        ASSERT_TRUE(full);
        full->write(std::vector<std::uint8_t>(1 << 16, 1));
        full->writeU32BE(1);
        Status finished = full->finish();
        ASSERT_FALSE(finished);
        EXPECT_EQ(finished.error(), CodecError::noSpace);
    }
}

// ---- reading -------------------------------------------------------------------

test::BmpColour colour(std::uint8_t r, std::uint8_t g, std::uint8_t b) { return {b, g, r, 0}; }

std::vector<test::BmpColour> rampPalette(int entries)
{
    std::vector<test::BmpColour> palette;
    for (int i = 0; i < entries; ++i)
        palette.push_back(colour(static_cast<std::uint8_t>(10 + i), static_cast<std::uint8_t>(100 + i),
                                 static_cast<std::uint8_t>(200 - i)));
    return palette;
}

class BmpReadTest : public testing::TempFolderTest {
protected:
    Picture* read(const BmpRecipe& recipe) { return readBytes(buildBmp(recipe)); }
    Picture* readBytes(const std::vector<std::uint8_t>& bytes)
    {
        writeFile(file("in.bmp"), bytes);
        return reader.keep(test::readThrough(file("in.bmp"), [](ByteCursor in) { return ReadBmp(in); }));
    }
    std::uint8_t pixel(std::int32_t x, std::int32_t y, int channel = 0) const
    {
        const Picture& image = reader.image;
        return image.pixels.data()[y * image.stride + x * (image.bits() / 8) + channel];
    }
    std::array<std::uint8_t, 3> bgr(std::int32_t x, std::int32_t y) const
    {
        return {pixel(x, y, 0), pixel(x, y, 1), pixel(x, y, 2)};
    }
    void expectRefused(const BmpRecipe& recipe, CodecError code)
    {
        EXPECT_EQ(read(recipe), nullptr);
        EXPECT_EQ(reader.errorCode, code);
        EXPECT_FALSE(reader.image.pixels);
    }

    test::ReadOutcome reader;
};

TEST_F(BmpReadTest, PackedDepthsUnpackToEightBitsWithTheirPalette)
{
    // Width 10: the 1-bit rows take 2 bytes and are stored 4 bytes apart.
    BmpRecipe one{.width = 10, .height = 2, .bits = 1, .palette = {colour(1, 2, 3), colour(4, 5, 6)},
                .pixels = {0b10110000, 0b01000000, 0, 0, 0xFF, 0xC0, 0, 0}};
    ASSERT_NE(read(one), nullptr);
    EXPECT_EQ(reader.image.bits(), 8);
    EXPECT_EQ(reader.image.meta.resolution.xPerMetre, 2835);
    const std::array<int, 10> bottom{1, 0, 1, 1, 0, 0, 0, 0, 0, 1};
    for (int x = 0; x < 10; ++x) {
        EXPECT_EQ(pixel(x, 0), bottom[x]) << x;
        EXPECT_EQ(pixel(x, 1), 1) << x;
    }
    EXPECT_EQ(reader.image.palette[1].rgbRed, 4);
    EXPECT_EQ(reader.image.palette[2].rgbRed, 0);

    // Four bits with colours used 0 take all 16 entries.
    BmpRecipe four{.width = 3, .height = 1, .bits = 4, .palette = rampPalette(16), .pixels = {0xF0, 0x70, 0, 0}};
    ASSERT_NE(read(four), nullptr);
    EXPECT_EQ(pixel(0, 0), 15);
    EXPECT_EQ(pixel(1, 0), 0);
    EXPECT_EQ(pixel(2, 0), 7);
    EXPECT_EQ(reader.image.palette[15].rgbBlue, 200 - 15);

    // With colours used 3 only three entries are in the file.
    four.colorsUsed = 3;
    four.palette = rampPalette(3);
    four.pixels = {0x21, 0x00, 0, 0};
    ASSERT_NE(read(four), nullptr);
    EXPECT_EQ(pixel(0, 0), 2);
    EXPECT_EQ(reader.image.palette[2].rgbGreen, 102);
    EXPECT_EQ(reader.image.palette[3].rgbGreen, 0);
}

TEST_F(BmpReadTest, PaletteIsTakenFromBehindTheStatedHeaderSize)
{
    for (std::uint32_t headerSize : {40u, 108u, 124u}) {
        for (std::uint32_t used : {0u, 5u}) {
            BmpRecipe eight{.width = 3, .height = 2, .bits = 8, .headerSize = headerSize, .colorsUsed = used,
                          .palette = rampPalette(used ? 5 : 256), .pixels = {4, 0, 2, 0, 1, 3, 4, 0},
                          .headerFill = 0xEE};
            ASSERT_NE(read(eight), nullptr) << headerSize;
            EXPECT_EQ(reader.image.palette[0].rgbRed, 10) << headerSize;
            EXPECT_EQ(reader.image.palette[4].rgbBlue, 196) << headerSize;
            EXPECT_EQ(reader.image.palette[5].rgbRed, used ? 0 : 15) << headerSize;
            EXPECT_EQ(pixel(0, 0), 4);
            EXPECT_EQ(pixel(2, 1), 4);
        }
    }
}

TEST_F(BmpReadTest, ColoursUsedBeyondTheTableReadsOnly256Entries)
{
    BmpRecipe recipe{.width = 1, .height = 1, .bits = 8, .colorsUsed = 100000, .palette = rampPalette(256),
                 .pixels = {255, 0, 0, 0}};
    recipe.pixelOffset = 14 + 40 + 4 * 300;
    ASSERT_NE(read(recipe), nullptr);
    EXPECT_EQ(reader.image.palette[255].rgbRed, static_cast<std::uint8_t>(10 + 255));
    EXPECT_EQ(pixel(0, 0), 255);
}

TEST_F(BmpReadTest, TwentyFourBitsAreKeptAsStored)
{
    BmpRecipe recipe{.width = 3, .height = 2, .bits = 24,
                 .pixels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0, 11, 12, 13, 14, 15, 16, 17, 18, 19, 0, 0, 0}};
    ASSERT_NE(read(recipe), nullptr);
    EXPECT_EQ(reader.image.bits(), 24);
    EXPECT_EQ(bgr(2, 0), (std::array<std::uint8_t, 3>{7, 8, 9}));
    EXPECT_EQ(bgr(0, 1), (std::array<std::uint8_t, 3>{11, 12, 13}));
}

TEST_F(BmpReadTest, SixteenBitPixelsDecodeThroughTheirMasks)
{
    // Plain 16 bits are 5-5-5; three pixels make 6 bytes, padded to 8.
    BmpRecipe plain{.width = 3, .height = 1, .bits = 16, .pixels = {0xFF, 0x7F, 0x1F, 0x00, 0x00, 0x7C, 0, 0}};
    ASSERT_NE(read(plain), nullptr);
    EXPECT_EQ(reader.image.bits(), 24);
    EXPECT_EQ(bgr(0, 0), (std::array<std::uint8_t, 3>{255, 255, 255}));
    EXPECT_EQ(bgr(1, 0), (std::array<std::uint8_t, 3>{255, 0, 0}));
    EXPECT_EQ(bgr(2, 0), (std::array<std::uint8_t, 3>{0, 0, 255}));

    BmpRecipe fields{.width = 2, .height = 1, .bits = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0x001F},
                   .pixels = {0xE0, 0x07, 0x20, 0x00}};
    ASSERT_NE(read(fields), nullptr);
    EXPECT_EQ(bgr(0, 0), (std::array<std::uint8_t, 3>{0, 255, 0}));
    EXPECT_EQ(bgr(1, 0), (std::array<std::uint8_t, 3>{0, 4, 0}));  // 1 * 255 / 63
}

TEST_F(BmpReadTest, ThirtyTwoBitPixelsDecodeThroughTheirMasks)
{
    BmpRecipe plain{.width = 1, .height = 2, .bits = 32, .pixels = {10, 20, 30, 99, 40, 50, 60, 99}};
    ASSERT_NE(read(plain), nullptr);
    EXPECT_EQ(bgr(0, 0), (std::array<std::uint8_t, 3>{10, 20, 30}));
    EXPECT_EQ(bgr(0, 1), (std::array<std::uint8_t, 3>{40, 50, 60}));

    // Masks are taken as packed fields from bit 0: the 16-bit "blue" field
    // scales 0xFF00 to 254 while green and red stay exact.
    BmpRecipe shifted{.width = 1, .height = 1, .bits = 32, .compression = 3, .headerSize = 124,
                    .masks = {0xFF000000, 0x00FF0000, 0x0000FF00}, .pixels = {0x00, 0xFF, 0x80, 0x40}};
    ASSERT_NE(read(shifted), nullptr);
    EXPECT_EQ(bgr(0, 0), (std::array<std::uint8_t, 3>{254, 0x80, 0x40}));

    BmpRecipe wide{.width = 1, .height = 1, .bits = 32, .compression = 3, .masks = {0, 0, 0xFFFFFFFF},
                 .pixels = {1, 2, 3, 4}};
    expectRefused(wide, CodecError::unsupported);
}

TEST_F(BmpReadTest, RefusesKindsItDoesNotRead)
{
    struct Case {
        const char* what;
        BmpRecipe recipe;
        CodecError code;
    };
    const std::vector<std::uint8_t> row(8, 0);
    const std::vector<Case> cases{
        {"rle8", {.width = 2, .bits = 8, .compression = 1, .palette = rampPalette(256), .pixels = row}, CodecError::unsupported},
        {"rle4", {.width = 2, .bits = 4, .compression = 2, .palette = rampPalette(16), .pixels = row}, CodecError::unsupported},
        {"bitfields at 24", {.width = 2, .bits = 24, .compression = 3, .pixels = row}, CodecError::unsupported},
        {"top-down", {.width = 2, .height = -1, .pixels = row}, CodecError::unsupported},
        {"2 bits", {.width = 2, .bits = 2, .pixels = row}, CodecError::unsupported},
        {"0 bits", {.width = 2, .bits = 0, .pixels = row}, CodecError::unsupported},
        {"width 0", {.width = 0, .pixels = row}, CodecError::damaged},
        {"width 25001", {.width = 25001, .pixels = row}, CodecError::tooLarge},
        {"height 25001", {.width = 1, .height = 25001, .pixels = row}, CodecError::tooLarge},
        {"core header", {.width = 2, .headerSize = 12, .pixels = row}, CodecError::unsupported},
        {"header 125", {.width = 2, .headerSize = 125, .pixels = row}, CodecError::unsupported},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        expectRefused(c.recipe, c.code);
    }

    std::vector<std::uint8_t> truncated = buildBmp({.width = 1, .pixels = row});
    truncated.resize(53);
    EXPECT_EQ(readBytes(truncated), nullptr);
    EXPECT_EQ(reader.errorCode, CodecError::truncated);

    EXPECT_EQ(reader.keep(test::readThrough(file("missing.bmp"), [](ByteCursor in) { return ReadBmp(in); })), nullptr);
    EXPECT_EQ(reader.errorCode, CodecError::cannotOpen);
}

TEST_F(BmpReadTest, DataMissingFromTheFileStaysZero)
{
    // Pixel offset beyond the end: every depth reads, all pixels zero.
    for (std::uint16_t bits : {1, 4, 8, 16, 24, 32}) {
        SCOPED_TRACE(bits);
        BmpRecipe recipe{.width = 5, .height = 3, .bits = bits, .palette = rampPalette(bits <= 8 ? 1 << bits : 0)};
        std::vector<std::uint8_t> bytes = buildBmp(recipe);
        bytes[10] = 0xF0, bytes[11] = bytes[12] = 0xFF, bytes[13] = 0x7F;
        bytes.resize(bytes.size() + 64, 0xFF);
        ASSERT_NE(readBytes(bytes), nullptr);
        const std::size_t size = reader.image.pixels.size();
        EXPECT_EQ(std::count(reader.image.pixels.data(), reader.image.pixels.data() + size, 0),
                  static_cast<std::ptrdiff_t>(size));
    }

    // A file that ends inside its second row: the first row and the whole
    // pixels of the second are read, the rest stays zero.
    BmpRecipe sixteen{.width = 3, .height = 3, .bits = 16,
                    .pixels = {0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0x7F, 0, 0, 0xFF, 0x7F, 0xFF}};
    ASSERT_NE(read(sixteen), nullptr);
    EXPECT_EQ(bgr(2, 0)[0], 255);
    EXPECT_EQ(bgr(0, 1)[1], 255);
    EXPECT_EQ(bgr(1, 1), (std::array<std::uint8_t, 3>{0, 0, 0}));
    EXPECT_EQ(bgr(0, 2), (std::array<std::uint8_t, 3>{0, 0, 0}));

    BmpRecipe one{.width = 9, .height = 3, .bits = 1, .palette = rampPalette(2), .pixels = {0xFF, 0x80, 0, 0, 0x80}};
    ASSERT_NE(read(one), nullptr);
    EXPECT_EQ(pixel(8, 0), 1);
    EXPECT_EQ(pixel(0, 1), 1);
    EXPECT_EQ(pixel(1, 1), 0);
    EXPECT_EQ(pixel(0, 2), 0);
}

TEST_F(BmpReadTest, ColourTableBeyondTheEndReadsAsBlack)
{
    // The 108-byte header ends past the file, so the table would start there.
    std::vector<std::uint8_t> bytes =
        buildBmp({.width = 2, .height = 1, .bits = 8, .headerSize = 108, .palette = rampPalette(256), .pixels = {1, 1, 0, 0}});
    bytes.resize(70);
    ASSERT_NE(readBytes(bytes), nullptr);
    EXPECT_EQ(reader.image.palette[1].rgbRed, 0);
}

// A header may state more rows than the file holds: those it holds are
// read and the rest stay zero, until so little is there that the file is
// truncated rather than a picture (under 1/64 of a picture over 1 MiB).
TEST_F(BmpReadTest, HugeDeclaredSizesReadOnlyWhatTheFileHoldsOrAreTruncated)
{
    struct Case {
        std::int32_t side;
        std::uint16_t bits;
        std::size_t present;
        bool read;
    };
    const std::vector<Case> cases{
        {25000, 1, 16, false},    {25000, 8, 16, false},         {25000, 32, 16, false},
        {2048, 8, 16, false},     {2048, 8, 65535, false},       {2048, 8, 65536, true},
        {2048, 32, 262144, true}, {1024, 8, 16, true},  // 1 MiB: taken as it stands
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.side) + " " + std::to_string(c.bits) + " " + std::to_string(c.present));
        BmpRecipe recipe{.width = c.side, .height = c.side, .bits = c.bits,
                         .palette = rampPalette(c.bits <= 8 ? 1 << c.bits : 0),
                         .pixels = std::vector<std::uint8_t>(c.present, 0xFF)};
        if (!c.read) {
            expectRefused(recipe, CodecError::truncated);
            continue;
        }
        ASSERT_NE(read(recipe), nullptr);
        EXPECT_NE(pixel(0, 0), 0);
        EXPECT_EQ(pixel(c.side - 1, c.side - 1), 0);
    }
}

// ---- writing -------------------------------------------------------------------

class BmpWriteTest : public testing::TempFolderTest {
protected:
    bool write(const std::filesystem::path& path, std::int32_t width, std::int32_t height, std::int32_t bits,
               std::span<const std::uint8_t> pixels)
    {
        return writer.keep(WriteBmp(test::imageView(width, height, bits, palette, pixels), path));
    }

    test::WriteOutcome writer;
    Palette palette{};
};

TEST_F(BmpWriteTest, WritesEightAndTwentyFourBitFilesByteForByte)
{
    for (int i = 0; i < 256; ++i)
        palette[i] = RgbQuad{static_cast<std::uint8_t>(i), 1, 2, 0};
    const std::vector<std::uint8_t> eight{1, 2, 3, 0, 4, 5, 6, 0};
    ASSERT_TRUE(write(file("8.bmp"), 3, 2, 8, eight));
    std::vector<test::BmpColour> colours;
    for (const RgbQuad& c : palette)
        colours.push_back({c.rgbBlue, c.rgbGreen, c.rgbRed, c.rgbReserved});
    std::vector<std::uint8_t> expected =
        buildBmp({.width = 3, .height = 2, .bits = 8, .colorsUsed = 256, .palette = colours, .pixels = eight});
    // Size image and resolutions are written as 0.
    std::fill(expected.begin() + 34, expected.begin() + 46, 0);
    std::vector<std::uint8_t> written = readFile(file("8.bmp"));
    EXPECT_EQ(written.size(), 1086u);
    EXPECT_EQ(written, expected);
    EXPECT_EQ(written[10] | written[11] << 8, 1078);

    const std::vector<std::uint8_t> one{9, 8, 7, 0};
    ASSERT_TRUE(write(file("24.bmp"), 1, 1, 24, one));
    const std::vector<std::uint8_t> expected24{
        'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,                      // file header
        40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0,        // size .. compression
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,          // image size .. important
        9, 8, 7, 0};
    EXPECT_EQ(readFile(file("24.bmp")), expected24);
}

TEST_F(BmpWriteTest, PackedDepthsRoundTripThroughTheReader)
{
    palette[0] = RgbQuad{3, 2, 1, 0};
    palette[1] = RgbQuad{50, 100, 200, 0};
    palette[15] = RgbQuad{7, 7, 7, 0};
    const std::vector<std::uint8_t> one{0b10100000, 0x80, 0, 0, 0x40, 0, 0, 0};
    ASSERT_TRUE(write(file("1.bmp"), 9, 2, 1, one));
    EXPECT_EQ(readFile(file("1.bmp")).size(), 14u + 40 + 8 + 8);

    auto readBmp = [](ByteCursor in) { return ReadBmp(in); };
    test::ReadOutcome reader;
    Picture* image = reader.keep(test::readThrough(file("1.bmp"), readBmp));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->palette[1].rgbRed, 200);
    const std::uint8_t* p = image->pixels.data();
    EXPECT_EQ(std::vector<std::uint8_t>(p, p + 9), (std::vector<std::uint8_t>{1, 0, 1, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(p[12 + 1], 1);

    const std::vector<std::uint8_t> four{0xF1, 0, 0, 0};
    ASSERT_TRUE(write(file("4.bmp"), 3, 1, 4, four));
    ASSERT_NE(reader.keep(test::readThrough(file("4.bmp"), readBmp)), nullptr);
    EXPECT_EQ(reader.image.pixels.data()[0], 15);
    EXPECT_EQ(reader.image.palette[15].rgbGreen, 7);
}

TEST_F(BmpWriteTest, FailuresAreReportedWithTheirCodes)
{
    const std::vector<std::uint8_t> pixels(64, 0);
    EXPECT_FALSE(write(file("none") / "x.bmp", 1, 1, 24, pixels));
    EXPECT_EQ(writer.errorCode, CodecError::cannotCreate);

    EXPECT_FALSE(write(file("2.bmp"), 1, 1, 2, pixels));
    EXPECT_EQ(writer.errorCode, CodecError::unsupported);
    EXPECT_FALSE(std::filesystem::exists(file("2.bmp")));

    // Fewer pixel bytes than the layout needs.
    EXPECT_FALSE(write(file("short.bmp"), 4, 4, 24, std::span(pixels).first(47)));
    EXPECT_EQ(writer.errorCode, CodecError::cannotWrite);

    if (std::filesystem::exists("/dev/full")) {
        EXPECT_FALSE(write("/dev/full", 4, 4, 24, pixels));
        EXPECT_EQ(writer.errorCode, CodecError::noSpace);
    }
}

// ---- against an independent codec ----------------------------------------------


// Saves sample images of several modes with the library's own encoder.
const char* kPillowEncode = R"PY(
import sys, random
from PIL import Image
folder = sys.argv[1]
random.seed(7)
def noise(mode, size, values):
    im = Image.new(mode, size)
    im.putdata([values() for _ in range(size[0] * size[1])])
    return im
noise('1', (13, 7), lambda: random.choice((0, 255))).save(folder + '/pil_1.bmp')
noise('L', (11, 5), lambda: random.randrange(256)).save(folder + '/pil_l.bmp')
rgb = noise('RGB', (9, 6), lambda: tuple(random.randrange(256) for _ in range(3)))
rgb.save(folder + '/pil_rgb.bmp')
rgb.quantize(37).save(folder + '/pil_p.bmp')
)PY";

// Writes each named file's decode as top-down RGB bytes beside it.
const char* kPillowDecode = R"PY(
import sys
from PIL import Image
for path in sys.argv[1:]:
    with Image.open(path) as im:
        open(path + '.rgb', 'wb').write(im.convert('RGB').tobytes())
)PY";

bool runPython(const char* script, const std::vector<std::filesystem::path>& arguments)
{
    std::string command = test::python() + " -c \"$VRELK_PY\"";
    for (const auto& argument : arguments)
        command += " '" + argument.string() + "'";
    ::setenv("VRELK_PY", script, 1);
    return std::system(command.c_str()) == 0;
}

// Our decode of the file as top-down RGB bytes.
std::vector<std::uint8_t> decodeToRgb(const std::filesystem::path& path)
{
    test::ReadOutcome reader;
    Picture* image = reader.keep(test::readThrough(path, [](ByteCursor in) { return ReadBmp(in); }));
    if (!image)
        return {};
    const std::int64_t stride = image->stride;
    std::vector<std::uint8_t> rgb;
    for (std::int64_t y = image->height - 1; y >= 0; --y) {
        const std::uint8_t* row = image->pixels.data() + y * stride;
        for (std::int32_t x = 0; x < image->width; ++x) {
            if (image->bits() == 8) {
                const RgbQuad& c = image->palette[row[x]];
                rgb.insert(rgb.end(), {c.rgbRed, c.rgbGreen, c.rgbBlue});
            } else {
                rgb.insert(rgb.end(), {row[3 * x + 2], row[3 * x + 1], row[3 * x]});
            }
        }
    }
    return rgb;
}

class BmpPillowTest : public testing::TempFolderTest {
protected:
    void SetUp() override
    {
        VRELK_REQUIRE_TOOLS(test::havePillow(), "Pillow for " + test::python());
        TempFolderTest::SetUp();
    }

    void expectSameDecode(const std::vector<std::filesystem::path>& files)
    {
        ASSERT_TRUE(runPython(kPillowDecode, files));
        for (const auto& path : files) {
            SCOPED_TRACE(path.filename().string());
            std::vector<std::uint8_t> ours = decodeToRgb(path);
            ASSERT_FALSE(ours.empty());
            EXPECT_EQ(ours, readFile(path.string() + ".rgb"));
        }
    }
};

TEST_F(BmpPillowTest, FilesWrittenByPillowDecodeAlike)
{
    ASSERT_TRUE(runPython(kPillowEncode, {folder_}));
    expectSameDecode({file("pil_1.bmp"), file("pil_l.bmp"), file("pil_rgb.bmp"), file("pil_p.bmp")});
}

TEST_F(BmpPillowTest, HandBuiltVariantsDecodeAsPillowDecodesThem)
{
    std::vector<std::uint8_t> noise(4096);
    std::uint32_t state = 12345;
    for (std::uint8_t& byte : noise) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    // Stored rows of noise with the padding cleared, so that both decoders
    // see the same bytes.
    auto rows = [&](std::int64_t width, std::int64_t height, int bits) {
        const std::int64_t stride = (width * bits + 31) / 32 * 4;
        const std::int64_t used = (width * bits + 7) / 8;
        std::vector<std::uint8_t> data(noise.begin(), noise.begin() + stride * height);
        for (std::int64_t y = 0; y < height; ++y)
            std::fill(data.begin() + y * stride + used, data.begin() + (y + 1) * stride, 0);
        return data;
    };
    const std::vector<std::pair<std::string, BmpRecipe>> variants{
        {"4.bmp", {.width = 7, .height = 5, .bits = 4, .palette = rampPalette(16), .pixels = rows(7, 5, 4)}},
        {"4used.bmp", {.width = 7, .height = 3, .bits = 4, .colorsUsed = 16, .palette = rampPalette(16),
                       .pixels = rows(7, 3, 4)}},
        {"1v5.bmp", {.width = 11, .height = 4, .bits = 1, .headerSize = 124, .palette = rampPalette(2),
                     .pixels = rows(11, 4, 1)}},
        {"8v4.bmp", {.width = 5, .height = 4, .bits = 8, .headerSize = 108, .palette = rampPalette(256),
                     .pixels = rows(5, 4, 8)}},
        {"555.bmp", {.width = 5, .height = 4, .bits = 16, .pixels = rows(5, 4, 16)}},
        {"565.bmp", {.width = 5, .height = 3, .bits = 16, .compression = 3, .masks = {0xF800, 0x07E0, 0x001F},
                     .pixels = rows(5, 3, 16)}},
        {"32.bmp", {.width = 4, .height = 3, .bits = 32, .pixels = rows(4, 3, 32)}},
        {"32fields.bmp", {.width = 3, .height = 3, .bits = 32, .compression = 3, .headerSize = 108,
                          .masks = {0x00FF0000, 0x0000FF00, 0x000000FF}, .pixels = rows(3, 3, 32)}},
    };
    std::vector<std::filesystem::path> files;
    for (const auto& [name, recipe] : variants) {
        writeFile(file(name), buildBmp(recipe));
        files.push_back(file(name));
    }
    expectSameDecode(files);
}

TEST_F(BmpPillowTest, WrittenFilesReadBackInPillowWithTheSamePixels)
{
    ASSERT_TRUE(runPython(kPillowEncode, {folder_}));
    std::vector<std::filesystem::path> written;
    for (const char* name : {"pil_1.bmp", "pil_rgb.bmp", "pil_p.bmp"}) {
        test::ReadOutcome reader;
        Picture* image = reader.keep(test::readThrough(file(name), [](ByteCursor in) { return ReadBmp(in); }));
        ASSERT_NE(image, nullptr) << name;
        written.push_back(file(std::string("out_") + name));
        ASSERT_TRUE(WriteBmp(test::imageView(image->width, image->height, image->bits(),
                                             image->palette, std::span(image->pixels.data(), image->pixels.size())),
                             written.back()));
    }
    std::vector<std::filesystem::path> all = written;
    for (const char* name : {"pil_1.bmp", "pil_rgb.bmp", "pil_p.bmp"})
        all.push_back(file(name));
    ASSERT_TRUE(runPython(kPillowDecode, all));
    for (std::size_t i = 0; i < written.size(); ++i) {
        SCOPED_TRACE(written[i].filename().string());
        EXPECT_EQ(readFile(written[i].string() + ".rgb"), readFile(all[written.size() + i].string() + ".rgb"));
    }
}

}  // namespace
}  // namespace vrelk
