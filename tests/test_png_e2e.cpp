// PNG through the command-line program: PNG to BMP, BMP to PNG, PNG to PNG.
#include <gtest/gtest.h>

#include "png_builder.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::CliInstall;
using test::quoted;
using test::Rgb;

// A 24-bit BMP of the pixels, top-down in `pixels`.
Bytes bmp24(int width, int height, const std::vector<Rgb>& pixels)
{
    const int stride = (3 * width + 3) & ~3;
    const auto size = static_cast<std::uint32_t>(54 + stride * height);
    auto le = [](Bytes& out, std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    Bytes out{'B', 'M'};
    le(out, size, 4);
    le(out, 0, 4);
    le(out, 54, 4);
    le(out, 40, 4);
    le(out, static_cast<std::uint32_t>(width), 4);
    le(out, static_cast<std::uint32_t>(height), 4);
    le(out, 1, 2);
    le(out, 24, 2);
    for (int i = 0; i < 6; ++i)
        le(out, 0, 4);
    for (int y = height - 1; y >= 0; --y) {
        for (int x = 0; x < width; ++x) {
            const Rgb& p = pixels[static_cast<std::size_t>(y * width + x)];
            out.insert(out.end(), {p.b, p.g, p.r});
        }
        out.resize(out.size() + static_cast<std::size_t>(stride - 3 * width));
    }
    return out;
}

std::vector<Rgb> readBmp24(const fs::path& path, int& width, int& height)
{
    std::string text = test::readText(path);
    const auto* b = reinterpret_cast<const std::uint8_t*>(text.data());
    auto le32 = [&](std::size_t at) { return std::uint32_t{b[at]} | b[at + 1] << 8 | b[at + 2] << 16 | b[at + 3] << 24; };
    std::vector<Rgb> pixels;
    if (text.size() < 54 || (b[28] | b[29] << 8) != 24)
        return pixels;
    width = static_cast<int>(le32(18));
    height = static_cast<int>(le32(22));
    const int stride = (3 * width + 3) & ~3;
    const std::uint32_t offset = le32(10);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* p = b + offset + static_cast<std::size_t>((height - 1 - y) * stride + 3 * x);
            pixels.push_back({p[2], p[1], p[0]});
        }
    return pixels;
}

std::vector<Rgb> picture(int width, int height)
{
    std::vector<Rgb> pixels;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pixels.push_back({static_cast<std::uint8_t>(x * 9), static_cast<std::uint8_t>(y * 13),
                              static_cast<std::uint8_t>((x * y) % 251)});
    return pixels;
}

Bytes rgbaPng(int width, int height, const std::vector<Rgb>& pixels)
{
    Bytes rows;
    for (int y = 0; y < height; ++y) {
        rows.push_back(0);
        for (int x = 0; x < width; ++x) {
            const Rgb& p = pixels[static_cast<std::size_t>(y * width + x)];
            rows.insert(rows.end(), {p.r, p.g, p.b, static_cast<std::uint8_t>(x == 0 ? 0 : 255)});
        }
    }
    return test::simplePng(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), 8, 6, rows);
}

TEST(PngEndToEnd, PngToBmp)
{
    CliInstall cli("DrctCvt=1\r\n");
    std::vector<Rgb> pixels = picture(13, 7);
    test::writeBytes(cli.root() / "photo.png", rgbaPng(13, 7, pixels));
    auto result = cli.run(quoted(cli.root() / "photo.png"));
    ASSERT_EQ(result.status, 0) << result.output;
    int width = 0, height = 0;
    std::vector<Rgb> got = readBmp24(cli.root() / "photo.bmp", width, height);
    ASSERT_EQ(width, 13);
    ASSERT_EQ(height, 7);
    for (int y = 0; y < 7; ++y)
        pixels[static_cast<std::size_t>(y * 13)] = {255, 255, 255};  // alpha 0 shows the white background
    EXPECT_EQ(got, pixels);
    EXPECT_TRUE(test::listFolder(cli.temp()).empty());
}

TEST(PngEndToEnd, BmpToPngAndPngToPng)
{
    CliInstall cli("DrctCvt=2\r\n");
    std::vector<Rgb> pixels = picture(31, 5);
    test::writeBytes(cli.root() / "scan.bmp", bmp24(31, 5, pixels));
    // A 2-bit palette image with a repeated colour comes back as 8 bits.
    Bytes palette{1, 2, 3, 40, 50, 60, 1, 2, 3, 90, 90, 90};
    Bytes indexed = test::simplePng(5, 1, 2, 3, {0, 0b00011011, 0b10000000}, {test::pngChunk("PLTE", palette)});
    test::writeBytes(cli.root() / "icon.png", indexed);
    auto result = cli.run(quoted(cli.root() / "scan.bmp") + " " + quoted(cli.root() / "icon.png"));
    ASSERT_EQ(result.status, 0) << result.output;

    test::Decoded scan = test::decodePngFile(cli.root() / "scan.png");
    ASSERT_TRUE(scan.ok);
    EXPECT_EQ(scan.bits, 24);
    EXPECT_EQ(scan.rgb, pixels);

    // The input name is taken, so the output gets the next number.
    test::Decoded icon = test::decodePngFile(cli.root() / "icon+1.png");
    ASSERT_TRUE(icon.ok);
    EXPECT_EQ(icon.bits, 8);
    EXPECT_EQ(icon.rgb, (std::vector<Rgb>{{1, 2, 3}, {40, 50, 60}, {1, 2, 3}, {90, 90, 90}, {1, 2, 3}}));
    EXPECT_TRUE(test::listFolder(cli.temp()).empty());
}

TEST(PngEndToEnd, DamagedPngIsSkipped)
{
    CliInstall cli("DrctCvt=1\r\n");
    Bytes file = rgbaPng(4, 4, picture(4, 4));
    file.resize(file.size() - 12);  // no IEND
    test::writeBytes(cli.root() / "cut.png", file);
    auto result = cli.run(quoted(cli.root() / "cut.png"));
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(fs::exists(cli.root() / "cut.bmp"));
    EXPECT_TRUE(test::listFolder(cli.temp()).empty());
}

}  // namespace
}  // namespace vrelk
