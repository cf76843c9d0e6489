// Phone photos stored on their side: the Exif orientation read from the
// JPEG, the picture turned upright before anything else sees it, and the
// orientation kept, alone, by the lossless re-encode.
#include <gtest/gtest.h>

#include <fstream>

#include "codec_test_support.h"
#include "codecs/bmp.h"
#include "codecs/exif.h"
#include "codecs/jpeg.h"
#include "codecs/png.h"
#include "image_builder.h"
#include "jpeg_test_support.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

Bytes fileBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An Exif payload built by hand: big-endian TIFF header, then `body`
// from offset 8 on.
Bytes exifPayload(std::initializer_list<std::uint8_t> body, bool littleEndian = false)
{
    Bytes out{'E', 'x', 'i', 'f', 0, 0};
    if (littleEndian)
        out.insert(out.end(), {'I', 'I', 42, 0, 8, 0, 0, 0});
    else
        out.insert(out.end(), {'M', 'M', 0, 42, 0, 0, 0, 8});
    out.insert(out.end(), body);
    return out;
}

TEST(ExifOrientation, FoundInEitherByteOrderAndUprightWhenDamaged)
{
    const struct {
        const char* what;
        Bytes payload;
        ExifOrientation expected;
    } cases[] = {
        {"big-endian", exifPayload({0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 6, 0, 0, 0, 0, 0, 0}), 6},
        {"little-endian", exifPayload({1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0}, true), 8},
        {"after another tag",
         exifPayload({0, 2, 0x01, 0x0F, 0, 2, 0, 0, 0, 2, 'A', 0, 0, 0, 0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 3, 0, 0}), 3},
        {"no orientation tag", exifPayload({0, 1, 0x01, 0x0F, 0, 2, 0, 0, 0, 2, 'A', 0, 0, 0}), 1},
        {"value 9", exifPayload({0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 9, 0, 0}), 1},
        {"value 0", exifPayload({0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 0, 0, 0}), 1},
        {"type LONG", exifPayload({0, 1, 0x01, 0x12, 0, 4, 0, 0, 0, 1, 0, 0, 0, 6}), 1},
        {"count near 2^32", exifPayload({0, 1, 0x01, 0x12, 0, 3, 0xFF, 0xFF, 0xFF, 0xFE, 0, 6, 0, 0}), 1},
        {"entry count past the segment", exifPayload({0xFF, 0xFF, 0x01, 0x12}), 1},
        {"entry cut short", exifPayload({0, 1, 0x01, 0x12, 0, 3, 0, 0}), 1},
        {"directory past the segment", {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0x7F, 0xFF, 0xFF, 0xF0}, 1},
        {"directory offset near 2^32", {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 0xF8, 0xFF, 0xFF, 0xFF}, 1},
        {"not a TIFF header", {'E', 'x', 'i', 'f', 0, 0, 'M', 'I', 0, 42, 0, 0, 0, 8}, 1},
        {"XMP, not Exif", {'h', 't', 't', 'p', ':', '/', '/'}, 1},
        {"empty", {}, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(orientationFromExif(c.payload), c.expected) << c.what;

    // A directory that points back at itself holds no orientation either.
    EXPECT_EQ(orientationFromExif(exifPayload({0, 1, 0x01, 0x0F, 0, 2, 0, 0, 0, 2, 'A', 0, 0, 0, 0, 0, 0, 8})), 1);
    for (ExifOrientation k = 1; k <= 8; ++k)
        EXPECT_EQ(orientationFromExif(exifWithOrientation(k)), k) << "our own block reads back";
}

// The picture Pillow shows for a file, as written by the fixture script.
struct Upright {
    std::uint32_t width = 0, height = 0;
    Bytes rgb;
};

Upright readExpected(const fs::path& path)
{
    Bytes bytes = fileBytes(path);
    Upright out;
    if (bytes.size() < 8)
        return out;
    out.width = LoadU32BE(bytes.data());
    out.height = LoadU32BE(bytes.data() + 4);
    out.rgb.assign(bytes.begin() + 8, bytes.end());
    return out;
}

// Our decode of an output file, top-down RGB.
Upright readOutput(const fs::path& path, bool png)
{
    test::ReadOutcome reader;
    Picture* image = reader.keep(test::readThrough(path, [&](ByteCursor in) {
        return png ? ReadPng(in, PngReadOptions{}) : ReadBmp(in);
    }));
    Upright out;
    if (!image)
        return out;
    out.width = static_cast<std::uint32_t>(image->width);
    out.height = static_cast<std::uint32_t>(image->height);
    const std::int64_t stride = image->stride;
    for (std::int64_t y = image->height - 1; y >= 0; --y)
        for (std::int32_t x = 0; x < image->width; ++x) {
            const std::uint8_t* p = image->pixels.data() + y * stride + 3 * x;
            out.rgb.insert(out.rgb.end(), {p[2], p[1], p[0]});
        }
    return out;
}

// "o<k><extension>", built by appending: GCC 12 at -O3 warns falsely about
// "literal" + std::string.
std::string fileName(int k, const char* extension)
{
    return std::string("o").append(std::to_string(k)).append(extension);
}

class OrientationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        VRELK_REQUIRE_TOOLS(test::havePillow(), "Pillow");
        auto made = test::runCommand(test::python() + " " + test::quoted(fs::path(__FILE__).parent_path() / "orientation_fixtures.py") +
                                     " " + test::quoted(fixtures_.path()));
        ASSERT_EQ(made.status, 0) << made.output;
    }

    test::ScratchFolder fixtures_;
};

TEST_F(OrientationTest, EveryOrientationConvertsToWhatViewersShow)
{
    for (const char* keys : {"DrctCvt=1\r\n", "DrctCvt=2\r\n"}) {
        const bool png = keys[8] == '2';
        test::CliInstall vrelk(keys + std::string("OutDir=") + (fixtures_ / (png ? "png" : "bmp")).string() + "\r\n");
        fs::create_directory(fixtures_ / (png ? "png" : "bmp"));
        for (int k = 1; k <= 8; ++k) {
            SCOPED_TRACE(fileName(k, png ? " to PNG" : " to BMP"));
            const fs::path input = fixtures_ / fileName(k, ".jpg");
            auto run = vrelk.run(test::quoted(input));
            ASSERT_EQ(run.status, 0) << run.output;
            const fs::path output = fixtures_ / (png ? "png" : "bmp") / fileName(k, png ? ".png" : ".bmp");
            Upright expected = readExpected(fixtures_ / fileName(k, ".rgb"));
            Upright got = readOutput(output, png);
            EXPECT_EQ(got.width, expected.width);
            EXPECT_EQ(got.height, expected.height);
            EXPECT_TRUE(got.rgb == expected.rgb);
        }
    }
}

TEST_F(OrientationTest, ReEncodeKeepsOnlyTheOrientation)
{
    test::CliInstall vrelk("DrctCvt=5\r\nOutDir=" + (fixtures_ / "out").string() + "\r\n");
    fs::create_directory(fixtures_ / "out");
    for (const char* name : {"gps", "o1"}) {
        auto run = vrelk.run(test::quoted(fixtures_ / (std::string(name) + ".jpg")));
        ASSERT_EQ(run.status, 0) << run.output;
    }
    const Bytes input = fileBytes(fixtures_ / "gps.jpg");
    const Bytes output = fileBytes(fixtures_ / "out" / "gps.jpg");
    EXPECT_EQ(test::readCoefficients(input).blocks, test::readCoefficients(output).blocks);
    std::vector<test::Segment> app1;
    for (const test::Segment& segment : test::jpegSegments(output))
        if (segment.marker == 0xE1)
            app1.push_back(segment);
    ASSERT_EQ(app1.size(), 1u);

    auto tags = test::runCommand(
        test::python() + " -c \"import sys; from PIL import Image, ImageOps; im = Image.open(sys.argv[1]); "
        "e = im.getexif(); print(sorted(e.items()), sorted(e.get_ifd(0x8825).items()), ImageOps.exif_transpose(im).size)\" " +
        test::quoted(fixtures_ / "out" / "gps.jpg"));
    ASSERT_EQ(tags.status, 0) << tags.output;
    EXPECT_EQ(tags.output, "[(274, 6)] [] (23, 37)\n") << "orientation alone, and the viewer turns it upright";

    for (const test::Segment& segment : test::jpegSegments(fileBytes(fixtures_ / "out" / "o1.jpg")))
        EXPECT_NE(segment.marker, 0xE1) << "an upright photo gets no Exif block";
}

// A 4000 x 3000 frame whose Exif says it was shot upright (orientation 6):
// reducing to width 1000 means the upright width.
TEST(Orientation, ReductionMeasuresTheUprightPicture)
{
    test::JpegRecipe recipe;
    recipe.width = 16;
    recipe.height = 16;
    recipe.components = 1;
    recipe.space = JCS_GRAYSCALE;
    const auto exif = exifWithOrientation(6);
    recipe.markers = {{JPEG_APP0 + 1, std::string(exif.begin(), exif.end())}};
    test::ScratchFolder folder;
    test::writeBytes(folder / "tall.jpg", test::withFrameSize(test::makeJpeg(recipe, test::noise(256)), 4000, 3000));
    test::CliInstall vrelk("DrctCvt=1\r\nResize=1\r\nRszOpt=0\r\nRszSize=1000\r\n");
    auto run = vrelk.run(test::quoted(folder / "tall.jpg"));
    ASSERT_EQ(run.status, 0) << run.output;
    Bytes bmp = fileBytes(folder / "tall.bmp");
    ASSERT_GE(bmp.size(), 26u);
    EXPECT_EQ(LoadU32LE(bmp.data() + 18), 1000u);
    EXPECT_EQ(LoadU32LE(bmp.data() + 22), 1333u);
}

TEST(Orientation, DamagedExifDecodesAsStored)
{
    test::JpegRecipe recipe;
    recipe.width = 24;
    recipe.height = 8;
    const std::string damaged("Exif\0\0MM\0*\x7F\xFF\xFF\xF0", 14);
    recipe.markers = {{JPEG_APP0 + 1, damaged}};
    const auto bytes = test::makeJpeg(recipe, test::gradient(24, 8));
    test::ReadOutcome reader;
    Picture* image = reader.keep(ReadJpeg(ByteCursor(bytes)));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width, 24);
    EXPECT_EQ(image->height, 8);
}

}  // namespace
}  // namespace vrelk
