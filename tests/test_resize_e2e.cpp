// Reduction through the command-line program.
#include <gtest/gtest.h>

#include "convert/scratch_buffers.h"
#include "convert/format.h"
#include "jpeg_test_support.h"
#include "png_builder.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::CliInstall;
using test::quoted;

void putLE(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A bottom-up BMP of 8 bits (grey palette) or 24 bits with a diagonal ramp.
std::vector<std::uint8_t> makeBmp(std::uint32_t width, std::uint32_t height, int bits)
{
    const std::uint32_t stride = ((width * static_cast<std::uint32_t>(bits) / 8) + 3) & ~3u;
    const std::uint32_t paletteBytes = bits == 8 ? 1024 : 0;
    const std::uint32_t offset = 14 + 40 + paletteBytes;
    std::vector<std::uint8_t> out{'B', 'M'};
    putLE(out, offset + stride * height, 4);
    putLE(out, 0, 4);
    putLE(out, offset, 4);
    for (std::uint32_t field : {40u, width, height})
        putLE(out, field, 4);
    putLE(out, 1, 2);
    putLE(out, static_cast<std::uint32_t>(bits), 2);
    for (int i = 0; i < 6; ++i)
        putLE(out, 0, 4);
    for (std::uint32_t i = 0; i < paletteBytes / 4; ++i)
        putLE(out, i * 0x010101u, 4);
    for (std::uint32_t y = 0; y < height; ++y) {
        std::vector<std::uint8_t> row(stride, 0);
        for (std::uint32_t x = 0; x < width; ++x) {
            auto value = static_cast<std::uint8_t>((x + y) * 3);
            if (bits == 8)
                row[x] = value;
            else
                row[3 * x] = value, row[3 * x + 1] = static_cast<std::uint8_t>(x), row[3 * x + 2] = 200;
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

struct BmpShape {
    std::int32_t width = 0;
    std::int32_t height = 0;
    int bits = 0;
    bool operator==(const BmpShape&) const = default;
};

std::ostream& operator<<(std::ostream& out, const BmpShape& shape)
{
    return out << shape.width << " x " << shape.height << " @ " << shape.bits;
}

BmpShape shapeOf(const fs::path& path)
{
    std::string bytes = test::readText(path);
    if (bytes.size() < 30 || bytes[0] != 'B' || bytes[1] != 'M')
        return {};
    auto field = [&](std::size_t at, int size) {
        std::uint32_t value = 0;
        for (int i = size - 1; i >= 0; --i)
            value = value << 8 | static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(i)]);
        return value;
    };
    return {static_cast<std::int32_t>(field(18, 4)), static_cast<std::int32_t>(field(22, 4)),
            static_cast<int>(field(28, 2))};
}

class ReductionRun : public ::testing::Test {
protected:
    CliInstall cli{""};
    fs::path in = cli.root() / "in";
    fs::path out = cli.root() / "out";

    void SetUp() override
    {
        fs::create_directories(in);
        fs::create_directories(out);
        test::writeBytes(in / "wide.bmp", makeBmp(200, 100, 24));
        test::writeBytes(in / "tall.bmp", makeBmp(100, 200, 24));
        test::writeBytes(in / "grey.bmp", makeBmp(64, 48, 8));
    }

    // Runs one BMP batch over the three inputs with the reduction settings.
    test::CommandResult convert(const std::string& resizeKeys)
    {
        fs::remove_all(out);
        fs::create_directories(out);
        test::writeText(cli.bin() / "Vrelk.ini",
                        "[SImg]\r\nDrctCvt=1\r\nOutDir=" + out.string() + "\r\n" + resizeKeys);
        return cli.run(quoted(in / "wide.bmp") + " " + quoted(in / "tall.bmp") + " " + quoted(in / "grey.bmp"));
    }
};

TEST_F(ReductionRun, EachModeGivesTheRightSize)
{
    struct Case {
        const char* keys;
        BmpShape wide, tall, grey;
    };
    const Case cases[] = {
        {"Resize=1\r\nRszOpt=0\r\nRszSize=50\r\n", {50, 25, 24}, {50, 100, 24}, {50, 38, 24}},
        {"Resize=1\r\nRszOpt=1\r\nRszSize=50\r\n", {100, 50, 24}, {25, 50, 24}, {64, 48, 8}},
        {"Resize=1\r\nRszOpt=2\r\nRszSize=50\r\n", {50, 25, 24}, {25, 50, 24}, {50, 38, 24}},
        {"Resize=1\r\nRszOpt=2\r\nRszSize=3\r\n", {3, 2, 24}, {2, 3, 24}, {3, 2, 24}},
        {"Resize=1\r\nRszOpt=2\r\nRszSize=2147483647\r\n", {200, 100, 24}, {100, 200, 24}, {64, 48, 8}},
        {"Resize=0\r\nRszOpt=2\r\nRszSize=50\r\n", {200, 100, 24}, {100, 200, 24}, {64, 48, 8}},
    };
    for (const Case& c : cases) {
        test::CommandResult result = convert(c.keys);
        EXPECT_EQ(result.status, 0) << c.keys << result.output;
        EXPECT_EQ(shapeOf(out / "wide.bmp"), c.wide) << c.keys;
        EXPECT_EQ(shapeOf(out / "tall.bmp"), c.tall) << c.keys;
        EXPECT_EQ(shapeOf(out / "grey.bmp"), c.grey) << c.keys;
    }
}

TEST_F(ReductionRun, SizesBelowOneAreRefusedBeforeAnyFile)
{
    for (const char* size : {"0", "-1", "-2147483648"}) {
        test::CommandResult result = convert(std::string("Resize=1\r\nRszOpt=2\r\nRszSize=") + size + "\r\n");
        EXPECT_EQ(result.status, 2) << size;
        EXPECT_EQ(result.output, std::string("Error: The setting RszSize holds ") + size + ", which is out of range (1 or more).\n");
        EXPECT_TRUE(test::listFolder(out).empty()) << size;
        EXPECT_TRUE(test::listFolder(cli.temp()).empty()) << "no temporary file left";
    }
}

test::JpegRecipe photoRecipe()
{
    test::JpegRecipe recipe;
    recipe.width = 800;
    recipe.height = 600;
    return recipe;
}

// An RGB PNG whose rows are unfiltered gradient samples.
std::vector<std::uint8_t> gradientPng(int width, int height)
{
    std::vector<std::uint8_t> samples = test::gradient(width, height);
    std::vector<std::uint8_t> rows;
    for (int y = 0; y < height; ++y) {
        rows.push_back(0);
        auto row = samples.begin() + static_cast<std::ptrdiff_t>(y) * width * 3;
        rows.insert(rows.end(), row, row + width * 3);
    }
    return test::simplePng(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), 8, 2, rows);
}

TEST_F(ReductionRun, JpegAndPngInputsReduceInEveryMode)
{
    test::writeBytes(in / "photo.jpg", test::makeJpeg(photoRecipe(), test::gradient(800, 600)));
    test::writeBytes(in / "shot.png", gradientPng(300, 200));
    struct Case {
        const char* keys;
        BmpShape photo, shot;
    };
    const Case cases[] = {
        {"Resize=1\r\nRszOpt=0\r\nRszSize=100\r\n", {100, 75, 24}, {100, 67, 24}},
        {"Resize=1\r\nRszOpt=1\r\nRszSize=100\r\n", {133, 100, 24}, {150, 100, 24}},
        {"Resize=1\r\nRszOpt=2\r\nRszSize=100\r\n", {100, 75, 24}, {100, 67, 24}},
        {"Resize=1\r\nRszOpt=2\r\nRszSize=1000\r\n", {800, 600, 24}, {300, 200, 24}},
    };
    for (const Case& c : cases) {
        fs::remove_all(out);
        fs::create_directories(out);
        test::writeText(cli.bin() / "Vrelk.ini", "[SImg]\r\nDrctCvt=1\r\nOutDir=" + out.string() + "\r\n" + c.keys);
        test::CommandResult result = cli.run(quoted(in / "photo.jpg") + " " + quoted(in / "shot.png"));
        EXPECT_EQ(result.status, 0) << c.keys << result.output;
        EXPECT_EQ(shapeOf(out / "photo.bmp"), c.photo) << c.keys;
        EXPECT_EQ(shapeOf(out / "shot.bmp"), c.shot) << c.keys;
    }
}

// The reduction hint lets the JPEG reader decode at the smallest scale that
// still covers the wanted size, before the reduction proper.
TEST(ReductionHint, JpegDecodesAtTheScaleTheHintSelects)
{
    test::ScratchFolder folder;
    test::writeBytes(folder / "photo.jpg", test::makeJpeg(photoRecipe(), test::gradient(800, 600)));
    std::unique_ptr<ScratchBuffers> scratch = AllocateScratchBuffers();
    ASSERT_TRUE(scratch);
    struct Case {
        bool resize;
        std::int32_t mode, size, width, height;
    };
    const Case cases[] = {
        {false, 2, 200, 800, 600}, {true, 0, 200, 200, 150}, {true, 1, 150, 200, 150},
        {true, 2, 200, 400, 300},  {true, 2, 0, 800, 600},   {true, 7, 200, 800, 600},
    };
    for (const Case& c : cases) {
        ConvertOptions options;
        options.resize = c.resize;
        options.resizeMode = c.mode;
        options.resizeSize = c.size;
        auto image = ReadImage(folder / "photo.jpg", ReadContext{options, *scratch->tables});
        ASSERT_TRUE(image);
        EXPECT_EQ(image->width, c.width) << c.mode << " " << c.size;
        EXPECT_EQ(image->height, c.height) << c.mode << " " << c.size;
    }
}

}  // namespace
}  // namespace vrelk
