#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "codec_test_support.h"
#include "codecs/jpeg.h"
#include "convert/batch.h"
#include "convert/format.h"
#include "jpeg_test_support.h"
#include "jpeg_write_support.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::dibFromRgb;
using test::readBytes;
using test::ScratchFolder;
using test::WriterFor;

Picture* readJpegFile(test::ReadOutcome& reader, const fs::path& path)
{
    return reader.keep(test::readThrough(path, [](ByteCursor in) { return ReadJpeg(in); }));
}

// Picture row `row` (0 = top) of a bottom-up image.
const std::uint8_t* pictureRow(const Picture& image, int row)
{
    const auto stride = rowLayout(image.width, 1, image.bits()).stride;
    return image.pixels.data() + (image.height - 1 - row) * stride;
}

// A 4000 x 3000 grey file made from a small one with a larger frame header.
std::vector<std::uint8_t> claimedSize(int width, int height)
{
    test::JpegRecipe recipe;
    recipe.width = 16;
    recipe.height = 16;
    recipe.components = 1;
    recipe.space = JCS_GRAYSCALE;
    return test::withFrameSize(test::makeJpeg(recipe, test::noise(256)), width, height);
}

struct ReadThroughDispatch {
    std::unique_ptr<ScratchBuffers> scratch = AllocateScratchBuffers();
    ConvertOptions options;

    std::pair<int, int> sizeAfterRead(const fs::path& path)
    {
        auto image = ReadImage(path, ReadContext{options, *scratch->tables});
        if (!image)
            return {0, 0};
        return {image->width, image->height};
    }
};

TEST(JpegRead, ReductionHintPicksTheLargestScaleThatKeepsTheWantedSize)
{
    ScratchFolder folder;
    test::writeBytes(folder / "big.jpg", claimedSize(4000, 3000));
    ReadThroughDispatch read;
    read.options.resize = true;
    read.options.resizeMode = 0;
    read.options.resizeSize = 1000;
    EXPECT_EQ(read.sizeAfterRead(folder / "big.jpg"), std::make_pair(1000, 750)) << "width mode, 1/4";
    read.options.resizeMode = 2;
    EXPECT_EQ(read.sizeAfterRead(folder / "big.jpg"), std::make_pair(2000, 1500)) << "long side, 1/2";
    read.options.resizeMode = 1;
    read.options.resizeSize = 376;
    EXPECT_EQ(read.sizeAfterRead(folder / "big.jpg"), std::make_pair(1000, 750)) << "height mode, ratio 7: 1/4";
    read.options.resizeSize = 375;
    EXPECT_EQ(read.sizeAfterRead(folder / "big.jpg"), std::make_pair(500, 375)) << "height mode, ratio 8: 1/8";
    read.options.resizeMode = 0;
    read.options.resizeSize = 5000;
    EXPECT_EQ(read.sizeAfterRead(folder / "big.jpg"), std::make_pair(4000, 3000)) << "hint above the image";
    read.options.resizeMode = 7;
    read.options.resizeSize = 100;
    EXPECT_EQ(read.sizeAfterRead(folder / "big.jpg"), std::make_pair(4000, 3000)) << "unknown mode: no hint";
}

TEST(JpegRead, SizeLimitAppliesToTheDecodedSize)
{
    ScratchFolder folder;
    test::writeBytes(folder / "wide.jpg", claimedSize(30000, 100));
    test::ReadOutcome reader;
    EXPECT_EQ(readJpegFile(reader, folder / "wide.jpg"), nullptr);
    EXPECT_EQ(reader.errorCode, CodecError::tooLarge);
    EXPECT_FALSE(reader.image.pixels);

    ReadThroughDispatch read;
    read.options.resize = true;
    read.options.resizeMode = 0;
    read.options.resizeSize = 15000;
    EXPECT_EQ(read.sizeAfterRead(folder / "wide.jpg"), std::make_pair(15000, 50));
}

TEST(JpegRead, GreyBecomesEightBitsWithAGreyPalette)
{
    ScratchFolder folder;
    test::JpegRecipe recipe;
    recipe.width = 21;
    recipe.height = 9;
    recipe.components = 1;
    recipe.space = JCS_GRAYSCALE;
    auto bytes = test::makeJpeg(recipe, test::noise(21 * 9));
    test::writeBytes(folder / "grey.jpg", bytes);
    test::ReadOutcome reader;
    Picture* image = readJpegFile(reader, folder / "grey.jpg");
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->bits(), 8);
    for (int i = 0; i < 256; ++i) {
        const RgbQuad& entry = image->palette[static_cast<std::size_t>(i)];
        ASSERT_TRUE(entry.rgbBlue == i && entry.rgbGreen == i && entry.rgbRed == i && entry.rgbReserved == 0) << i;
    }
    test::DecodedJpeg expected = test::decodeJpeg(bytes);
    for (int y = 0; y < 9; ++y)
        ASSERT_EQ(0, std::memcmp(pictureRow(*image, y), expected.samples.data() + y * 21, 21)) << "row " << y;
}

TEST(JpegRead, ColourArrivesBottomUpInBlueGreenRedOrder)
{
    ScratchFolder folder;
    test::JpegRecipe recipe;
    recipe.width = 37;
    recipe.height = 23;
    auto bytes = test::makeJpeg(recipe, test::gradient(37, 23));
    test::writeBytes(folder / "colour.jpg", bytes);
    test::ReadOutcome reader;
    Picture* image = readJpegFile(reader, folder / "colour.jpg");
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->bits(), 24);
    EXPECT_EQ(image->width, 37);
    EXPECT_EQ(image->height, 23);
    test::DecodedJpeg expected = test::decodeJpeg(bytes);
    for (int y = 0; y < 23; ++y)
        for (int x = 0; x < 37; ++x) {
            const std::uint8_t* got = pictureRow(*image, y) + 3 * x;
            const std::uint8_t* rgb = expected.samples.data() + 3 * (y * 37 + x);
            ASSERT_TRUE(got[0] == rgb[2] && got[1] == rgb[1] && got[2] == rgb[0]) << x << "," << y;
        }
}

TEST(JpegRead, AdobeInkIsWeightedByTheBlackChannel)
{
    ScratchFolder folder;
    test::JpegRecipe recipe;
    recipe.width = 16;
    recipe.height = 8;
    recipe.components = 4;
    recipe.space = JCS_CMYK;
    recipe.quality = 100;
    std::vector<std::uint8_t> samples;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x) {
            auto ink = x < 8 ? std::array<std::uint8_t, 4>{255, 0, 255, 255} : std::array<std::uint8_t, 4>{100, 200, 50, 128};
            samples.insert(samples.end(), ink.begin(), ink.end());
        }
    test::writeBytes(folder / "cmyk.jpg", test::makeJpeg(recipe, samples));
    test::ReadOutcome reader;
    Picture* image = readJpegFile(reader, folder / "cmyk.jpg");
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->bits(), 24);
    const std::uint8_t* row = pictureRow(*image, 3);
    EXPECT_EQ(std::vector<int>(row, row + 3), (std::vector<int>{255, 0, 255}));
    EXPECT_EQ(std::vector<int>(row + 24, row + 27), (std::vector<int>{50 * 128 / 255, 200 * 128 / 255, 100 * 128 / 255}));
}

TEST(JpegRead, DensityBecomesPixelsPerMetre)
{
    ScratchFolder folder;
    struct Case {
        std::uint8_t unit;
        std::uint16_t x, y;
        std::int32_t expectX, expectY;
    };
    for (Case c : {Case{1, 72, 300, 2835, 11811}, Case{2, 28, 40, 2800, 4000}, Case{0, 2, 3, 0, 0}}) {
        test::JpegRecipe recipe;
        recipe.width = 8;
        recipe.height = 8;
        recipe.densityUnit = c.unit;
        recipe.xDensity = c.x;
        recipe.yDensity = c.y;
        test::writeBytes(folder / "dense.jpg", test::makeJpeg(recipe, test::gradient(8, 8)));
        test::ReadOutcome reader;
        Picture* image = readJpegFile(reader, folder / "dense.jpg");
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->meta.resolution.xPerMetre, c.expectX) << int{c.unit};
        EXPECT_EQ(image->meta.resolution.yPerMetre, c.expectY) << int{c.unit};
    }
}

TEST(JpegRead, CutOffFileDecodesWhatItHolds)
{
    ScratchFolder folder;
    test::JpegRecipe recipe;
    recipe.width = 64;
    recipe.height = 64;
    auto whole = test::makeJpeg(recipe, test::gradient(64, 64));
    // Cut halfway through the entropy-coded data.
    std::size_t scan = 0;
    while (scan + 1 < whole.size() && !(whole[scan] == 0xFF && whole[scan + 1] == 0xDA))
        ++scan;
    const auto cut = static_cast<std::ptrdiff_t>(scan + (whole.size() - scan) / 2);
    test::writeBytes(folder / "cut.jpg", std::vector<std::uint8_t>(whole.begin(), whole.begin() + cut));
    test::ReadOutcome reader;
    Picture* image = readJpegFile(reader, folder / "cut.jpg");
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width, 64);
    EXPECT_EQ(image->height, 64);
    test::DecodedJpeg expected = test::decodeJpeg(whole);
    EXPECT_EQ(pictureRow(*image, 0)[0], expected.samples[2]) << "the top row is intact";
}

TEST(JpegRead, DamagedOrMissingInputFailsCleanly)
{
    ScratchFolder folder;
    test::ReadOutcome reader;
    EXPECT_EQ(readJpegFile(reader, folder / "missing.jpg"), nullptr);
    EXPECT_EQ(reader.errorCode, CodecError::cannotOpen);

    for (auto bytes : {std::vector<std::uint8_t>{0xFF, 0xD8}, std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xC0, 0xFF},
                       std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xE0, 0xFF, 0xFF, 1, 2, 3}}) {
        test::writeBytes(folder / "bad.jpg", bytes);
        EXPECT_EQ(readJpegFile(reader, folder / "bad.jpg"), nullptr);
        EXPECT_FALSE(reader.image.pixels);
    }
}

// A progressive file whose last scan is repeated until it has `scans`
// scans: libjpeg only warns about the repeats and reads every one.
std::vector<std::uint8_t> withRepeatedLastScan(const std::vector<std::uint8_t>& file, int scans)
{
    std::size_t last = 0, count = 0;
    for (std::size_t i = 0; i + 1 < file.size(); ++i)
        if (file[i] == 0xFF && file[i + 1] == 0xDA) {
            last = i;
            ++count;
        }
    const std::vector<std::uint8_t> scan(file.begin() + static_cast<std::ptrdiff_t>(last), file.end() - 2);
    std::vector<std::uint8_t> out(file.begin(), file.end() - 2);
    for (std::size_t n = count; n < static_cast<std::size_t>(scans); ++n)
        out.insert(out.end(), scan.begin(), scan.end());
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
}

// Guards a hang, so the bound is generous: a hundred times an ordinary
// decode of the same picture.
TEST(JpegRead, ThousandsOfScansFailQuickly)
{
    test::JpegRecipe recipe;
    recipe.width = 1024;
    recipe.height = 768;
    recipe.progressive = true;
    const auto plain = test::makeJpeg(recipe, test::gradient(1024, 768));
    using Clock = std::chrono::steady_clock;
    auto timeRead = [](const std::vector<std::uint8_t>& bytes, std::optional<CodecError>& error) {
        const auto start = Clock::now();
        test::ReadOutcome reader;
        reader.keep(ReadJpeg(ByteCursor(bytes)));
        error = reader.errorCode;
        return Clock::now() - start;
    };
    std::optional<CodecError> error;
    const auto ordinary = timeRead(plain, error);
    ASSERT_EQ(error, std::nullopt);

    const auto withinLimit = withRepeatedLastScan(plain, kJpegMaxScans);
    timeRead(withinLimit, error);
    EXPECT_EQ(error, std::nullopt) << "up to the limit the repeats only warn";

    const auto hostile = withRepeatedLastScan(plain, 5000);
    const auto taken = timeRead(hostile, error);
    EXPECT_EQ(error, CodecError::damaged);
    EXPECT_LT(taken, 100 * ordinary);

    test::ScratchFolder folder;
    test::writeBytes(folder / "many.jpg", hostile);
    Result<InputFile> mapped = InputFile::read(folder / "many.jpg");
    ASSERT_TRUE(mapped);
    Status recoded = RecodeJpeg(mapped->cursor(), folder / "out.jpg");
    ASSERT_FALSE(recoded);
    EXPECT_EQ(recoded.error(), CodecError::damaged);
}

TEST(JpegWrite, OptionsAndTheFileTheyGive)
{
    EXPECT_EQ(jpegEncoding(150, 0).quality, 75);
    EXPECT_EQ(jpegEncoding(100, 0).quality, 100);
    EXPECT_EQ(jpegEncoding(0, 0).quality, 0) << "passed on for libjpeg to raise to 1";

    ScratchFolder folder;
    Palette palette{};
    auto pixels = dibFromRgb(test::gradient(40, 30), 40, 30);
    struct Case {
        int sampling;
        std::vector<std::pair<int, int>> factors;
    };
    for (const Case& c : {Case{0, {{2, 2}, {1, 1}, {1, 1}}}, Case{1, {{2, 1}, {1, 1}, {1, 1}}},
                          Case{2, {{1, 1}, {1, 1}, {1, 1}}}, Case{9, {{2, 2}, {1, 1}, {1, 1}}}}) {
        WriterFor set(40, 30, 24);
        set.encoding = jpegEncoding(80, c.sampling);
        fs::path path = folder / std::string("s").append(std::to_string(c.sampling)).append(".jpg");
        ASSERT_TRUE(WriteJpeg(set.view(palette, pixels), path, set.encoding).ok());
        auto bytes = readBytes(path);
        EXPECT_EQ(test::samplingFactors(bytes), c.factors) << "sampling " << c.sampling;

        std::vector<std::uint8_t> markers;
        for (const auto& segment : test::jpegSegments(bytes))
            markers.push_back(segment.marker);
        EXPECT_EQ(markers, (std::vector<std::uint8_t>{0xD8, 0xE0, 0xDB, 0xDB, 0xC0, 0xC4, 0xC4, 0xC4, 0xC4, 0xDA, 0xD9}))
            << "JFIF only, baseline, one scan";
    }
}

TEST(JpegWrite, PalettedImageIsWrittenInColour)
{
    ScratchFolder folder;
    Palette palette{};
    palette[0] = RgbQuad{255, 0, 0, 0};  // blue
    palette[1] = RgbQuad{0, 0, 255, 0};  // red
    const int width = 16, height = 16;
    std::vector<std::uint8_t> indices(16 * 16);
    for (int y = 0; y < height; ++y)
        for (int x = 8; x < width; ++x)
            indices[static_cast<std::size_t>(y * 16 + x)] = 1;
    WriterFor set(width, height, 8);
    set.encoding = jpegEncoding(95, 2);
    ASSERT_TRUE(WriteJpeg(set.view(palette, indices), folder / "p.jpg", set.encoding).ok());
    test::DecodedJpeg decoded = test::decodeJpeg(readBytes(folder / "p.jpg"));
    ASSERT_EQ(decoded.components, 3);
    const std::uint8_t* left = &decoded.samples[3 * (8 * 16 + 2)];
    const std::uint8_t* right = &decoded.samples[3 * (8 * 16 + 13)];
    EXPECT_TRUE(left[0] < 20 && left[1] < 20 && left[2] > 235) << "blue on the left";
    EXPECT_TRUE(right[0] > 235 && right[1] < 20 && right[2] < 20) << "red on the right";
}

TEST(JpegWrite, ShortWriteFailsTheFile)
{
    VRELK_REQUIRE_TOOLS(fs::exists("/dev/full"), "/dev/full");
    Palette palette{};
    auto pixels = test::noise(static_cast<std::size_t>(rowLayout(32, 32, 24).imageSize));
    WriterFor plain(32, 32, 24);
    EXPECT_FALSE(WriteJpeg(plain.view(palette, pixels), "/dev/full", plain.encoding).ok());

    WriterFor limited(32, 32, 24);
    EXPECT_FALSE(limited.outcome.keep(WriteJpegWithLimit(limited.view(palette, pixels), "/dev/full", limited.encoding, 100, &limited.search)));
    EXPECT_EQ(limited.outcome.errorCode, CodecError::noSpace);
}

bool recode(const fs::path& input, const fs::path& output)
{
    Result<InputFile> mapped = InputFile::read(input);
    return mapped && RecodeJpeg(mapped->cursor(), output).ok();
}

std::vector<std::uint8_t> markerCodes(const std::vector<std::uint8_t>& bytes)
{
    std::vector<std::uint8_t> codes;
    for (const auto& segment : test::jpegSegments(bytes))
        codes.push_back(segment.marker);
    return codes;
}

TEST(JpegRecode, DropsMarkersAndKeepsTheCoefficients)
{
    ScratchFolder folder;
    test::JpegRecipe recipe;
    recipe.width = 45;
    recipe.height = 33;
    recipe.quality = 83;
    recipe.markers = {{JPEG_APP0 + 1, std::string("Exif\0\0MM\0*\0\0\0\x08\0\0", 16)}, {JPEG_COM, "a comment"}};
    auto input = test::makeJpeg(recipe, test::noise(45 * 33 * 3, 7));
    auto inputMarkers = markerCodes(input);
    ASSERT_NE(std::find(inputMarkers.begin(), inputMarkers.end(), 0xE1), inputMarkers.end());
    ASSERT_NE(std::find(inputMarkers.begin(), inputMarkers.end(), 0xFE), inputMarkers.end());
    test::writeBytes(folder / "in.jpg", input);

    ASSERT_TRUE(recode(folder / "in.jpg", folder / "out.jpg"));
    auto output = readBytes(folder / "out.jpg");
    EXPECT_EQ(markerCodes(output), (std::vector<std::uint8_t>{0xD8, 0xE0, 0xDB, 0xDB, 0xC0, 0xC4, 0xC4, 0xC4, 0xC4, 0xDA, 0xD9}));
    test::Coefficients before = test::readCoefficients(input);
    test::Coefficients after = test::readCoefficients(output);
    EXPECT_EQ(before.quantTables, after.quantTables);
    EXPECT_EQ(before.blocks, after.blocks);
    EXPECT_EQ(test::decodeJpeg(input).samples, test::decodeJpeg(output).samples);
    EXPECT_LT(output.size(), input.size()) << "optimised tables";

    VRELK_REQUIRE_TOOLS(fs::exists("/usr/bin/jpegtran"), "jpegtran");
    auto result = test::runCommand("/usr/bin/jpegtran -copy none -optimize -outfile " + test::quoted(folder / "ref.jpg") +
                                   " " + test::quoted(folder / "in.jpg"));
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(output, readBytes(folder / "ref.jpg"));
}

TEST(JpegRecode, ProgressiveBecomesSequential)
{
    ScratchFolder folder;
    test::JpegRecipe recipe;
    recipe.width = 40;
    recipe.height = 24;
    recipe.progressive = true;
    auto input = test::makeJpeg(recipe, test::gradient(40, 24));
    ASSERT_EQ(test::jpegSegments(input)[2].marker, 0xDB);
    test::writeBytes(folder / "prog.jpg", input);
    ASSERT_TRUE(recode(folder / "prog.jpg", folder / "seq.jpg"));
    auto output = readBytes(folder / "seq.jpg");
    auto codes = markerCodes(output);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0xDA), 1);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0xC0), 1);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0xC2), 0);
    EXPECT_EQ(test::readCoefficients(input).blocks, test::readCoefficients(output).blocks);
}

TEST(JpegRecode, OtherInputFailsAndLeavesNoTemporaryFile)
{
    ScratchFolder folder;
    test::writeBytes(folder / "in.png", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 0});
    EXPECT_FALSE(recode(folder / "in.png", folder / "out.jpg"));

    std::unique_ptr<ScratchBuffers> scratch = AllocateScratchBuffers();
    ConvertOptions options;
    FileJob job{options, *scratch, OutputFormatOf(kOutputRecode)};
    fs::create_directory(folder / "temp");
    fs::path tempPath;
    EXPECT_TRUE(RecodeOneFile(job, folder / "temp", folder / "in.png", tempPath).has_value()) << "a failure";
    EXPECT_TRUE(test::listFolder(folder / "temp").empty());
}

}  // namespace
}  // namespace vrelk
