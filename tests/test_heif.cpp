// The HEIF reader: HEIC and AVIF files from independent encoders against
// the reference decoders' pictures over white, tiled and turned pictures,
// damaged and oversized files, and the command-line program's outputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>

#include "codecs/heif.h"
#include "codec_test_support.h"
#include "picture/checked.h"
#include "pixel/lookup_tables.h"
#include "test_support.h"

// libheif 1.15's glue to dav1d keeps dav1d's copy of the coded picture when
// dav1d refuses a damaged stream, a few dozen bytes a file: the library's
// leak, which the damaged-file cases below reach.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdav1d.so\n"; }

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// heif_fixtures.py runs once for the whole suite; it needs heif-enc,
// avifenc, heif-convert, avifdec, ImageMagick and Pillow.
const fs::path& fixtures()
{
    static test::ScratchFolder folder;
    static const bool made = [] {
        fs::path script = fs::path(__FILE__).parent_path() / "heif_fixtures.py";
        auto run = test::runCommand("/usr/bin/python3 " + test::quoted(script) + " " + test::quoted(folder.path()));
        EXPECT_EQ(run.status, 0) << run.output;
        return run.status == 0;
    }();
    EXPECT_TRUE(made);
    return folder.path();
}

const LookupTables& tables()
{
    static const auto built = [] {
        auto t = std::make_unique<LookupTables>();
        buildLookupTables(*t);
        return t;
    }();
    return *built;
}

Bytes fileBytes(const fs::path& path)
{
    std::string text = test::readText(path);
    return Bytes(text.begin(), text.end());
}

Result<Picture> readBytes(const Bytes& bytes) { return ReadHeif(ByteCursor({bytes.data(), bytes.size()}), tables()); }

// Red, green, blue of a picture pixel counted from the top.
std::array<int, 3> pixelAt(const Picture& image, int x, int y)
{
    const int bits = image.bits();
    const auto stride = static_cast<std::size_t>(rowLayout(image.width, 1, bits).stride);
    const std::uint8_t* row = image.pixels.data() + static_cast<std::size_t>(image.height - 1 - y) * stride;
    if (bits == 8) {
        const RgbQuad& c = image.palette[row[x]];
        return {c.rgbRed, c.rgbGreen, c.rgbBlue};
    }
    const std::uint8_t* p = row + 3 * x;
    return {p[2], p[1], p[0]};
}

TEST(HeifRead, IndependentEncodersMatchTheReferenceDecodersOverWhite)
{
    std::ifstream manifest(fixtures() / "manifest.txt");
    int files = 0;
    for (std::string line; std::getline(manifest, line);) {
        std::istringstream fields(line);
        std::string name;
        int width = 0, height = 0, bits = 0, tolerance = 0;
        fields >> name >> width >> height >> bits >> tolerance;
        Result<Picture> image = readBytes(fileBytes(fixtures() / name));
        ASSERT_TRUE(image.ok()) << name << ": " << image.error();
        ASSERT_EQ(image->width, width) << name;
        ASSERT_EQ(image->height, height) << name;
        EXPECT_EQ(image->bits(), bits) << name;
        std::string expected = test::readText(fixtures() / (name + ".rgb"));
        ASSERT_EQ(expected.size(), 3u * static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) << name;
        int worst = 0, worstX = 0, worstY = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const auto got = pixelAt(*image, x, y);
                for (int c = 0; c < 3; ++c) {
                    const int want = static_cast<std::uint8_t>(expected[3 * (static_cast<std::size_t>(y) * width + x) + c]);
                    if (std::abs(got[c] - want) > worst) {
                        worst = std::abs(got[c] - want);
                        worstX = x, worstY = y;
                    }
                }
            }
        EXPECT_LE(worst, tolerance) << name << " differs by " << worst << " at " << worstX << "," << worstY;
        ++files;
    }
    EXPECT_EQ(files, 23);
}

// A decoded picture as red, green, blue, top row first.
struct Rgb {
    int width = 0, height = 0;
    std::vector<std::array<int, 3>> pixels;
    const std::array<int, 3>& at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

Rgb rgbOf(const Picture& image)
{
    Rgb rgb{image.width, image.height, {}};
    for (int y = 0; y < rgb.height; ++y)
        for (int x = 0; x < rgb.width; ++x)
            rgb.pixels.push_back(pixelAt(image, x, y));
    return rgb;
}

// One step of transforms.txt ("crop:L,T,R,B", "rot:K", "mir:M"), each
// pixel of the result fetched from where the step takes it.
Rgb applyStep(const Rgb& in, const std::string& step)
{
    const std::string kind = step.substr(0, step.find(':'));
    std::vector<int> args;
    std::istringstream numbers(step.substr(step.find(':') + 1));
    for (std::string n; std::getline(numbers, n, ',');)
        args.push_back(std::stoi(n));
    Rgb out = in;
    std::function<std::array<int, 3>(int, int)> from;
    if (kind == "crop") {
        out.width = in.width - args.at(0) - args.at(2);
        out.height = in.height - args.at(1) - args.at(3);
        from = [&](int x, int y) { return in.at(args[0] + x, args[1] + y); };
    } else if (kind == "rot") {
        Rgb turned = in;
        for (int k = 0; k < args.at(0); ++k) {
            Rgb next{turned.height, turned.width, {}};
            for (int y = 0; y < next.height; ++y)
                for (int x = 0; x < next.width; ++x)
                    next.pixels.push_back(turned.at(turned.width - 1 - y, x));
            turned = next;
        }
        return turned;
    } else if (args.at(0) == 0) {
        from = [&](int x, int y) { return in.at(x, in.height - 1 - y); };
    } else {
        from = [&](int x, int y) { return in.at(in.width - 1 - x, y); };
    }
    out.pixels.clear();
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x)
            out.pixels.push_back(from(x, y));
    return out;
}

// Crops, turns and mirrorings in both orders of properties, on single
// pictures and grids, from the tests' box assembler and from avifenc; and
// the primary picture whatever the place of a thumbnail. Each must equal
// the plain file's decode with the steps applied here.
TEST(HeifRead, TransformsShowThePictureAsViewersDo)
{
    std::ifstream list(fixtures() / "transforms.txt");
    int files = 0;
    for (std::string line; std::getline(list, line);) {
        std::istringstream fields(line);
        std::string name, plainName;
        fields >> name >> plainName;
        Result<Picture> plain = readBytes(fileBytes(fixtures() / plainName));
        Result<Picture> shown = readBytes(fileBytes(fixtures() / name));
        if (!plain.ok() || !shown.ok()) {
            ADD_FAILURE() << "not read: " << line;
            continue;
        }
        Rgb expected = rgbOf(*plain);
        for (std::string step; fields >> step;)
            expected = applyStep(expected, step);
        const Rgb got = rgbOf(*shown);
        ASSERT_EQ(got.width, expected.width) << line;
        ASSERT_EQ(got.height, expected.height) << line;
        int worst = 0;
        for (std::size_t i = 0; i < got.pixels.size(); ++i)
            for (int c = 0; c < 3; ++c)
                worst = std::max(worst, std::abs(got.pixels[i][c] - expected.pixels[i][c]));
        EXPECT_LE(worst, 2) << line;
        ++files;
    }
    EXPECT_EQ(files, 62);
}

// Every 4-byte box name `kind` in the file, as offsets of its payload.
std::vector<std::size_t> boxPayloads(const Bytes& bytes, std::string_view kind)
{
    std::vector<std::size_t> found;
    for (std::size_t i = 4; i + 4 <= bytes.size(); ++i)
        if (std::equal(kind.begin(), kind.end(), bytes.begin() + static_cast<std::ptrdiff_t>(i)))
            found.push_back(i + 4);
    return found;
}

void storeU32BE(Bytes& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

// Sizes beyond the cap are refused before anything is decoded; libheif's
// own limit stops grids and pictures at the same place.
TEST(HeifRead, OversizedHeadersAreRefused)
{
    struct Case {
        const char* file;
        std::uint32_t width, height;
    };
    const Case cases[] = {
        {"avif_420.avif", 25001, 45},   {"avif_420.avif", 67, 25001},
        {"avif_420.avif", 0x7FFFFFFF, 0x7FFFFFFF}, {"heic_irot90.heic", 30000, 30000},
        {"heic_jpeg.heic", 0xFFFFFFFF, 1},
    };
    for (const Case& c : cases) {
        Bytes bytes = fileBytes(fixtures() / c.file);
        for (std::size_t at : boxPayloads(bytes, "ispe")) {
            storeU32BE(bytes, at + 4, c.width);
            storeU32BE(bytes, at + 8, c.height);
        }
        Result<Picture> image = readBytes(bytes);
        ASSERT_FALSE(image.ok()) << c.file << " " << c.width << "x" << c.height;
        EXPECT_EQ(image.error(), CodecError::tooLarge) << c.file << " " << c.width << "x" << c.height;
    }

    // The grid item's own output size, in its data at the start of mdat.
    Bytes grid = fileBytes(fixtures() / "heic_grid.heic");
    const std::size_t data = boxPayloads(grid, "mdat").at(0);
    for (std::uint16_t size : {std::uint16_t{25001}, std::uint16_t{65535}}) {
        Bytes bytes = grid;
        bytes[data + 4] = static_cast<std::uint8_t>(size >> 8);
        bytes[data + 5] = static_cast<std::uint8_t>(size);
        Result<Picture> image = readBytes(bytes);
        ASSERT_FALSE(image.ok()) << size;
        EXPECT_EQ(image.error(), CodecError::tooLarge) << size;
    }
}

// Truncated files fail; bit-flipped ones fail or decode, but never read
// outside their input (the sanitizer build runs this).
TEST(HeifRead, DamagedFilesFailCleanly)
{
    for (const char* name : {"heic_jpeg.heic", "heic_grid.heic", "heic_10bit.heic", "avif_alpha_10.avif",
                             "avif_mono.avif", "heic_irot270_imir.heic", "avif_enc_all.avif",
                             "heic_grid_crop_rot_mir.heic", "heic_thumbnail_1.heic"}) {
        const Bytes whole = fileBytes(fixtures() / name);
        for (std::size_t keep : {std::size_t{0}, std::size_t{11}, std::size_t{40}, whole.size() / 3,
                                 whole.size() / 2, whole.size() - 200, whole.size() - 1}) {
            Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(keep));
            Result<Picture> image = readBytes(cut);
            EXPECT_FALSE(image.ok()) << name << " cut to " << keep;
            if (!image.ok()) {
                EXPECT_NE(image.error(), CodecError::noMemory) << name << " cut to " << keep;
            }
        }
        std::uint32_t state = 25;
        for (int trial = 0; trial < 60; ++trial) {
            Bytes flipped = whole;
            for (int n = 0; n < 3; ++n) {
                state = state * 1664525u + 1013904223u;
                flipped[state % flipped.size()] ^= static_cast<std::uint8_t>(1u << (state >> 29));
            }
            Result<Picture> image = readBytes(flipped);
            if (image.ok()) {
                EXPECT_TRUE(dimensionsAllowed(image->width, image->height)) << name;
            }
        }
    }
    // Fuzzer findings: an AV1 item whose coded data dav1d refuses; a 67x45
    // HEIC whose HEVC stream decodes to 4266x24877.
    const fs::path seeds = fs::path(__FILE__).parent_path().parent_path() / "fuzz/corpus/heif_fuzz";
    for (const char* name : {"dav1d_refused.avif", "stream_larger_than_container.heic"}) {
        Result<Picture> image = readBytes(fileBytes(seeds / name));
        ASSERT_FALSE(image.ok()) << name;
        EXPECT_EQ(image.error(), CodecError::damaged) << name;
    }
}

// Through the command-line program: a tiled HEIC and an AVIF with alpha to
// every output format, named by the output's extension, read back by
// ImageMagick at the picture's size.
TEST(HeifEndToEnd, EveryOutputFormat)
{
    struct Output {
        const char* format;
        const char* extension;
    };
    const Output outputs[] = {{"bmp", ".bmp"}, {"png", ".png"}, {"jpeg", ".jpg"}, {"gif", ".gif"}};
    test::CliInstall cli("DrctCvt=1\r\n");
    fs::copy_file(fixtures() / "heic_grid_turned.heic", cli.root() / "phone.heic");
    fs::copy_file(fixtures() / "avif_alpha_10.avif", cli.root() / "web.avif");
    for (const Output& out : outputs) {
        auto result = cli.run(std::string("-f ") + out.format + " " + test::quoted(cli.root() / "phone.heic") + " " +
                              test::quoted(cli.root() / "web.avif"));
        ASSERT_EQ(result.status, 0) << out.format << ": " << result.output;
        for (auto [stem, size] : {std::pair{"phone", "187x250"}, std::pair{"web", "67x45"}}) {
            const fs::path written = cli.root() / (std::string(stem) + out.extension);
            auto identified = test::runCommand("/usr/bin/identify -format '%wx%h' " + test::quoted(written));
            EXPECT_EQ(identified.output, size) << written;
            fs::remove(written);
        }
    }
}

}  // namespace
}  // namespace vrelk
