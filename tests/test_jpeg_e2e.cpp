// JPEG through the command-line program, from input file to output file.
#include <gtest/gtest.h>

#include <zlib.h>

#include <fstream>

#include "jpeg_test_support.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::CliInstall;
using test::quoted;

std::vector<std::uint8_t> readBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void putLE(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void putBE(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    for (int i = 3; i >= 0; --i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint32_t getLE(const std::vector<std::uint8_t>& in, std::size_t at, int bytes)
{
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | in.at(at + static_cast<std::size_t>(i));
    return value;
}

// A 24-bit BMP of `rgb` (top row first).
std::vector<std::uint8_t> bmpFile(int width, int height, const std::vector<std::uint8_t>& rgb)
{
    const std::uint32_t stride = (static_cast<std::uint32_t>(width) * 3 + 3) & ~3u;
    std::vector<std::uint8_t> out{'B', 'M'};
    putLE(out, 54 + stride * static_cast<std::uint32_t>(height), 4);
    putLE(out, 0, 4);
    putLE(out, 54, 4);
    for (std::uint32_t value : {40u, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)})
        putLE(out, value, 4);
    putLE(out, 1, 2);
    putLE(out, 24, 2);
    for (int i = 0; i < 6; ++i)
        putLE(out, 0, 4);
    for (int y = height - 1; y >= 0; --y) {
        for (int x = 0; x < width; ++x)
            for (int c = 2; c >= 0; --c)
                out.push_back(rgb[static_cast<std::size_t>(3 * (y * width + x) + c)]);
        out.resize(out.size() + (stride - static_cast<std::uint32_t>(width) * 3));
    }
    return out;
}

struct Picture {
    int width = 0;
    int height = 0;
    int bits = 0;
    std::vector<std::uint8_t> rgb;  // top row first; grey images as R=G=B
};

Picture readBmp(const std::vector<std::uint8_t>& bytes)
{
    Picture picture;
    if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M')
        return picture;
    const std::uint32_t offset = getLE(bytes, 10, 4);
    picture.width = static_cast<int>(getLE(bytes, 18, 4));
    picture.height = static_cast<int>(getLE(bytes, 22, 4));
    picture.bits = static_cast<int>(getLE(bytes, 28, 2));
    const std::size_t stride = (static_cast<std::size_t>(picture.width) * picture.bits / 8 + 3) & ~std::size_t{3};
    for (int y = 0; y < picture.height; ++y) {
        std::size_t row = offset + static_cast<std::size_t>(picture.height - 1 - y) * stride;
        for (int x = 0; x < picture.width; ++x) {
            if (picture.bits == 24) {
                for (int c = 2; c >= 0; --c)
                    picture.rgb.push_back(bytes.at(row + static_cast<std::size_t>(3 * x + c)));
            } else {
                std::size_t entry = 54 + 4 * std::size_t{bytes.at(row + static_cast<std::size_t>(x))};
                for (int c = 2; c >= 0; --c)
                    picture.rgb.push_back(bytes.at(entry + static_cast<std::size_t>(c)));
            }
        }
    }
    return picture;
}

std::vector<std::uint8_t> asRgb(const test::DecodedJpeg& decoded)
{
    if (decoded.components == 3)
        return decoded.samples;
    std::vector<std::uint8_t> rgb;
    for (std::uint8_t grey : decoded.samples)
        rgb.insert(rgb.end(), {grey, grey, grey});
    return rgb;
}

double meanDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b)
{
    if (a.size() != b.size() || a.empty())
        return 1e9;
    double total = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        total += std::abs(int{a[i]} - int{b[i]});
    return total / static_cast<double>(a.size());
}

std::vector<std::uint8_t> pngFile(int width, int height, const std::vector<std::uint8_t>& rgb)
{
    std::vector<std::uint8_t> raw;
    for (int y = 0; y < height; ++y) {
        raw.push_back(0);
        auto row = rgb.begin() + 3 * y * width;
        raw.insert(raw.end(), row, row + 3 * width);
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::vector<std::uint8_t> packed(packedSize);
    compress(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()));
    packed.resize(packedSize);

    std::vector<std::uint8_t> out{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    auto chunk = [&](const char* type, const std::vector<std::uint8_t>& data) {
        putBE(out, static_cast<std::uint32_t>(data.size()));
        std::size_t start = out.size();
        out.insert(out.end(), type, type + 4);
        out.insert(out.end(), data.begin(), data.end());
        putBE(out, static_cast<std::uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
    };
    std::vector<std::uint8_t> header;
    putBE(header, static_cast<std::uint32_t>(width));
    putBE(header, static_cast<std::uint32_t>(height));
    header.insert(header.end(), {8, 2, 0, 0, 0});
    chunk("IHDR", header);
    chunk("IDAT", packed);
    chunk("IEND", {});
    return out;
}

// The PNG codec arrives separately; until then PNG cases are skipped.
bool pngCodecAvailable()
{
    CliInstall cli("DrctCvt=1\r\n");
    test::writeBytes(cli.root() / "probe.png", pngFile(2, 2, std::vector<std::uint8_t>(12, 200)));
    return cli.run(quoted(cli.root() / "probe.png")).status == 0 && fs::exists(cli.root() / "probe.bmp");
}

std::vector<std::uint8_t> colourJpeg(int width, int height, int quality = 90)
{
    test::JpegRecipe recipe;
    recipe.width = width;
    recipe.height = height;
    recipe.quality = quality;
    return test::makeJpeg(recipe, test::gradient(width, height));
}

TEST(JpegEndToEnd, JpegToBmpHoldsLibjpegsPixels)
{
    CliInstall cli("DrctCvt=1\r\n");
    auto colour = colourJpeg(83, 61);
    test::JpegRecipe greyRecipe;
    greyRecipe.width = 30;
    greyRecipe.height = 20;
    greyRecipe.components = 1;
    greyRecipe.space = JCS_GRAYSCALE;
    auto grey = test::makeJpeg(greyRecipe, test::noise(600));
    test::writeBytes(cli.root() / "colour.jpg", colour);
    test::writeBytes(cli.root() / "grey.jpeg", grey);
    auto result = cli.run(quoted(cli.root() / "colour.jpg") + " " + quoted(cli.root() / "grey.jpeg"));
    ASSERT_EQ(result.status, 0) << result.output;

    Picture colourBmp = readBmp(readBytes(cli.root() / "colour.bmp"));
    EXPECT_EQ(colourBmp.bits, 24);
    EXPECT_EQ(colourBmp.rgb, test::decodeJpeg(colour).samples);
    Picture greyBmp = readBmp(readBytes(cli.root() / "grey.bmp"));
    EXPECT_EQ(greyBmp.bits, 8);
    EXPECT_EQ(greyBmp.rgb, asRgb(test::decodeJpeg(grey)));
}

TEST(JpegEndToEnd, BmpAndJpegToJpeg)
{
    CliInstall cli("DrctCvt=3\r\nQuality=92\r\nSampling=2\r\n");
    auto rgb = test::gradient(70, 50);
    test::writeBytes(cli.root() / "from.bmp", bmpFile(70, 50, rgb));
    auto jpeg = colourJpeg(70, 50, 95);
    test::writeBytes(cli.root() / "photo.jpg", jpeg);
    auto result = cli.run(quoted(cli.root() / "from.bmp") + " " + quoted(cli.root() / "photo.jpg"));
    ASSERT_EQ(result.status, 0) << result.output;

    auto fromBmp = readBytes(cli.root() / "from.jpg");
    EXPECT_EQ(test::samplingFactors(fromBmp), (std::vector<std::pair<int, int>>{{1, 1}, {1, 1}, {1, 1}}));
    EXPECT_LT(meanDifference(test::decodeJpeg(fromBmp).samples, rgb), 2.0);
    EXPECT_TRUE(fs::exists(cli.root() / "photo+1.jpg")) << "the input keeps its name";
    auto fromJpeg = readBytes(cli.root() / "photo+1.jpg");
    EXPECT_LT(meanDifference(test::decodeJpeg(fromJpeg).samples, test::decodeJpeg(jpeg).samples), 2.0);
}

TEST(JpegEndToEnd, SizeTargetIsMet)
{
    CliInstall cli("DrctCvt=3\r\nLimit=1\r\nLmtVal=6\r\nQuality=100\r\n");
    const int side = 128;
    auto rgb = test::noise(static_cast<std::size_t>(side * side * 3), 5);
    test::writeBytes(cli.root() / "noisy.bmp", bmpFile(side, side, rgb));
    auto result = cli.run(quoted(cli.root() / "noisy.bmp"));
    ASSERT_EQ(result.status, 0) << result.output;
    auto bytes = readBytes(cli.root() / "noisy.jpg");
    EXPECT_LE(bytes.size(), 6u * 1024);
    EXPECT_GT(bytes.size(), 3u * 1024) << "the highest fitting quality, not the lowest";
    EXPECT_EQ(test::decodeJpeg(bytes).width, side);
}

TEST(JpegEndToEnd, ReencodeDropsMarkersAndSkipsOtherFiles)
{
    CliInstall cli("DrctCvt=5\r\n");
    test::JpegRecipe recipe;
    recipe.width = 50;
    recipe.height = 40;
    recipe.progressive = true;
    recipe.markers = {{JPEG_APP0 + 1, std::string("Exif\0\0II*\0\x08\0\0\0", 14)}, {JPEG_COM, "made for a test"}};
    auto input = test::makeJpeg(recipe, test::noise(50 * 40 * 3));
    test::writeBytes(cli.root() / "exif.jpg", input);
    test::writeBytes(cli.root() / "real.png", pngFile(4, 4, std::vector<std::uint8_t>(48, 9)));
    auto result = cli.run(quoted(cli.root() / "exif.jpg") + " " + quoted(cli.root() / "real.png"));
    ASSERT_EQ(result.status, 1) << "a file was skipped: " << result.output;
    EXPECT_NE(result.output.find(std::string("skipped ") + (cli.root() / "real.png").string()), std::string::npos);
    EXPECT_EQ(test::listFolder(cli.root()),
              (std::vector<std::string>{"bin", "exif+1.jpg", "exif.jpg", "real.png", "temp"}));
    EXPECT_TRUE(test::listFolder(cli.temp()).empty());

    auto output = readBytes(cli.root() / "exif+1.jpg");
    for (const auto& segment : test::jpegSegments(output)) {
        EXPECT_TRUE(segment.marker == 0xE0 || segment.marker < 0xE0 || segment.marker > 0xEF);
        EXPECT_NE(segment.marker, 0xFE);
        EXPECT_NE(segment.marker, 0xC2);
    }
    EXPECT_EQ(test::readCoefficients(output).blocks, test::readCoefficients(input).blocks);

    CliInstall only("DrctCvt=5\r\n");
    test::writeBytes(only.root() / "real.png", pngFile(4, 4, std::vector<std::uint8_t>(48, 9)));
    auto refused = only.run(quoted(only.root() / "real.png"));
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.output, std::string("vrelk: skipped ") + (only.root() / "real.png").string() +
                                  ": not a JPEG: only JPEG files can be re-encoded losslessly\n"
                                  "Error: No file was converted.\n");
}

TEST(JpegEndToEnd, PngToJpegAndBack)
{
    ASSERT_TRUE(pngCodecAvailable()) << "a PNG converts to BMP";
    CliInstall toJpeg("DrctCvt=3\r\nQuality=95\r\n");
    auto rgb = test::gradient(40, 30);
    test::writeBytes(toJpeg.root() / "in.png", pngFile(40, 30, rgb));
    ASSERT_EQ(toJpeg.run(quoted(toJpeg.root() / "in.png")).status, 0);
    EXPECT_LT(meanDifference(test::decodeJpeg(readBytes(toJpeg.root() / "in.jpg")).samples, rgb), 2.0);

    VRELK_REQUIRE_TOOLS(test::havePillow(), "Pillow to read PNG output");
    CliInstall toPng("DrctCvt=2\r\n");
    auto jpeg = colourJpeg(40, 30);
    test::writeBytes(toPng.root() / "in.jpg", jpeg);
    ASSERT_EQ(toPng.run(quoted(toPng.root() / "in.jpg")).status, 0);
    auto check = test::runCommand(test::python() + " -c \"import sys; from PIL import Image; "
                                  "sys.stdout.buffer.write(Image.open(sys.argv[1]).convert('RGB').tobytes())\" " +
                                  quoted(toPng.root() / "in.png"));
    ASSERT_EQ(check.status, 0) << check.output;
    EXPECT_EQ(std::vector<std::uint8_t>(check.output.begin(), check.output.end()), test::decodeJpeg(jpeg).samples);
}

}  // namespace
}  // namespace vrelk
