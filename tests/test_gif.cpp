// The GIF reader, the GIF writer and GIF through the command-line program.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "codecs/byte_cursor.h"
#include "codecs/gif.h"
#include "codecs/gif_lzw.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::quoted;
using Bytes = std::vector<std::uint8_t>;

struct Rgb {
    std::uint8_t r, g, b;
    bool operator==(const Rgb&) const = default;
};

bool haveTool(const char* path) { return fs::exists(path); }

// ---- Building files --------------------------------------------------------------

// Codes of the given widths packed least significant bit first.
Bytes packCodes(std::initializer_list<std::pair<int, int>> codes)
{
    Bytes out;
    std::uint32_t bits = 0;
    int count = 0;
    for (auto [code, width] : codes) {
        bits |= static_cast<std::uint32_t>(code) << count;
        for (count += width; count >= 8; count -= 8, bits >>= 8)
            out.push_back(static_cast<std::uint8_t>(bits));
    }
    if (count)
        out.push_back(static_cast<std::uint8_t>(bits));
    return out;
}

Bytes encode(const Bytes& indices, int codeSize)
{
    Bytes out(gif::encodedBound(indices.size()));
    out.resize(gif::encodeLzw(indices, codeSize, out));
    return out;
}

Bytes subBlocks(const Bytes& data)
{
    Bytes out(gif::subBlocksSize(data.size()));
    gif::packSubBlocks(data, out);
    return out;
}

struct GifRecipe {
    const char* version = "GIF89a";
    int screenWidth = 4;
    int screenHeight = 1;
    int globalBits = 2;  // 0: no global table
    int background = 0;
    int transparent = -1;
    int left = 0, top = 0, width = 4, height = 1;
    int localBits = 0;
    bool interlaced = false;
    int codeSize = 2;
    Bytes codes;  // empty: the indices encoded
    Bytes indices{0, 1, 2, 3};
    bool terminated = true;
};

// Colour i of every table is (i, 10 + i, 20 + i) globally and (100 + i, ...)
// locally, so a picture shows which table and entry each pixel took.
Bytes buildGif(const GifRecipe& r)
{
    Bytes out(r.version, r.version + 6);
    auto u16 = [&](int v) { out.insert(out.end(), {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)}); };
    auto table = [&](int bits, int base) {
        for (int i = 0; i < (1 << bits); ++i)
            out.insert(out.end(), {static_cast<std::uint8_t>(base + i), static_cast<std::uint8_t>(base + 10 + i),
                                   static_cast<std::uint8_t>(base + 20 + i)});
    };
    u16(r.screenWidth);
    u16(r.screenHeight);
    out.push_back(static_cast<std::uint8_t>(r.globalBits ? 0x80 | (r.globalBits - 1) : 0));
    out.insert(out.end(), {static_cast<std::uint8_t>(r.background), 0});
    if (r.globalBits)
        table(r.globalBits, 0);
    if (r.transparent >= 0)
        out.insert(out.end(), {0x21, 0xF9, 4, 1, 0, 0, static_cast<std::uint8_t>(r.transparent), 0});
    out.push_back(0x2C);
    for (int v : {r.left, r.top, r.width, r.height})
        u16(v);
    out.push_back(static_cast<std::uint8_t>((r.localBits ? 0x80 | (r.localBits - 1) : 0) | (r.interlaced ? 0x40 : 0)));
    if (r.localBits)
        table(r.localBits, 100);
    out.push_back(static_cast<std::uint8_t>(r.codeSize));
    Bytes blocks = subBlocks(r.codes.empty() ? encode(r.indices, r.codeSize) : r.codes);
    if (!r.terminated)
        blocks.pop_back();
    out.insert(out.end(), blocks.begin(), blocks.end());
    if (r.terminated)
        out.push_back(0x3B);
    return out;
}

// The picture top-down: palette index per pixel, and the colours.
struct Picture {
    CodecError error{};
    bool ok = false;
    int width = 0, height = 0;
    Palette palette{};
    Bytes indices{};
    std::vector<Rgb> rgb{};
};

Picture fromImage(const DibImage& image)
{
    Picture p;
    p.ok = true;
    p.width = image.header.biWidth;
    p.height = image.header.biHeight;
    p.palette = image.palette;
    const std::int64_t stride = rowLayout(p.width, 1, 8).stride;
    for (int y = p.height - 1; y >= 0; --y)
        for (int x = 0; x < p.width; ++x) {
            const std::uint8_t i = image.pixels.data()[y * stride + x];
            p.indices.push_back(i);
            p.rgb.push_back({image.palette[i].rgbRed, image.palette[i].rgbGreen, image.palette[i].rgbBlue});
        }
    return p;
}

Picture decode(const Bytes& file)
{
    Result<DibImage> image = ReadGif(ByteCursor(file));
    if (!image) {
        Picture p;
        p.error = image.error();
        return p;
    }
    EXPECT_EQ(image->sourceFormat, kFormatGif);
    EXPECT_EQ(image->header.biBitCount, 8);
    return fromImage(*image);
}

Picture decodeFile(const fs::path& path)
{
    Result<DibImage> image = ReadGifFile(path);
    return image ? fromImage(*image) : Picture{image.error()};
}

// ---- Reader ----------------------------------------------------------------------

TEST(GifRead, IndependentEncoders)
{
    if (!haveTool("/usr/bin/python3") || !haveTool("/usr/bin/convert") ||
        !haveTool("/usr/bin/gifsicle"))
        GTEST_SKIP() << "Pillow, ImageMagick or gifsicle missing";
    test::ScratchFolder folder;
    fs::path script = fs::path(__FILE__).parent_path() / "gif_fixtures.py";
    auto made = test::runCommand("/usr/bin/python3 " + quoted(script) + " " + quoted(folder.path()));
    ASSERT_EQ(made.status, 0) << made.output;

    std::ifstream manifest(folder / "manifest.txt");
    int files = 0;
    for (std::string name; std::getline(manifest, name); ++files) {
        Picture got = decodeFile(folder / (name + ".gif"));
        ASSERT_TRUE(got.ok) << name << " " << static_cast<int>(got.error);
        const std::string expected = test::readText(folder / (name + ".rgb"));
        const auto* e = reinterpret_cast<const std::uint8_t*>(expected.data());
        ASSERT_EQ(LoadU32BE(e), static_cast<std::uint32_t>(got.width)) << name;
        ASSERT_EQ(LoadU32BE(e + 4), static_cast<std::uint32_t>(got.height)) << name;
        int mismatches = 0;
        for (std::size_t i = 0; i < got.rgb.size(); ++i) {
            const Rgb want{e[8 + 3 * i], e[9 + 3 * i], e[10 + 3 * i]};
            if (got.rgb[i] != want && mismatches++ < 3)
                ADD_FAILURE() << name << " pixel " << i;
        }
    }
    EXPECT_GE(files, 20);
}

TEST(GifRead, RefusesDamagedFiles)
{
    struct Case {
        const char* what;
        GifRecipe recipe;
        std::size_t cutTo = 0;  // 0: whole file
        CodecError error;
    };
    auto recipe = [](auto change) {
        GifRecipe r;
        change(r);
        return r;
    };
    const std::vector<Case> cases{
        {"version 88a", recipe([](GifRecipe& r) { r.version = "GIF88a"; }), 0, CodecError::badData},
        {"screen width 0", recipe([](GifRecipe& r) { r.screenWidth = 0; }), 0, CodecError::unsupported},
        {"screen too high", recipe([](GifRecipe& r) { r.screenHeight = 25001; }), 0, CodecError::unsupported},
        {"no data terminator", recipe([](GifRecipe& r) { r.terminated = false; }), 0, CodecError::badData},
        {"image off the screen", recipe([](GifRecipe& r) { r.left = 1; }), 0, CodecError::badData},
        {"no colour table", recipe([](GifRecipe& r) { r.globalBits = 0; }), 0, CodecError::badData},
        {"code size 9", recipe([](GifRecipe& r) { r.codeSize = 9; }), 0, CodecError::badData},
        {"short header", GifRecipe{}, 12, CodecError::badData},
        {"short global table", GifRecipe{}, 20, CodecError::badData},
        {"short descriptor", GifRecipe{}, 30, CodecError::badData},
    };
    for (const Case& c : cases) {
        Bytes file = buildGif(c.recipe);
        if (c.cutTo)
            file.resize(c.cutTo);
        Picture p = decode(file);
        EXPECT_FALSE(p.ok) << c.what;
        EXPECT_EQ(p.error, c.error) << c.what;
    }

    // Blocks before the image: trailer, unknown label, unknown block, empty data.
    const Bytes start = [] {
        Bytes b = buildGif(GifRecipe{});
        return Bytes(b.begin(), b.begin() + 25);
    }();
    const std::vector<std::pair<Bytes, CodecError>> blocks{
        {{0x3B}, CodecError::badData},
        {{0x21, 0x02, 0}, CodecError::cannotOpen},
        {{0x99}, CodecError::cannotOpen},
        {{0x21, 0xFE, 3, 'a', 'b'}, CodecError::badData},
        {{0x2C, 0, 0, 0, 0, 4, 0, 1, 0, 0, 2, 0}, CodecError::badData},
        {{}, CodecError::badData},
    };
    for (const auto& [tail, error] : blocks) {
        Bytes file = start;
        file.insert(file.end(), tail.begin(), tail.end());
        EXPECT_EQ(decode(file).error, error) << static_cast<int>(tail.empty() ? 0 : tail[0]);
    }
}

TEST(GifRead, ComposesTheScreen)
{
    // A 3 x 2 image at (1, 1) on a 5 x 4 screen of background index 2;
    // extensions before it are passed over.
    GifRecipe r;
    r.screenWidth = 5;
    r.screenHeight = 4;
    r.background = 2;
    r.left = r.top = 1;
    r.width = 3;
    r.height = 2;
    r.indices = {0, 1, 3, 3, 1, 0};
    Bytes file = buildGif(r);
    const Bytes comment{0x21, 0xFE, 2, 'h', 'i', 0};
    file.insert(file.begin() + 25, comment.begin(), comment.end());
    Picture p = decode(file);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.width, 5);
    EXPECT_EQ(p.height, 4);
    EXPECT_EQ(p.indices, (Bytes{2, 2, 2, 2, 2, 2, 0, 1, 3, 2, 2, 3, 1, 0, 2, 2, 2, 2, 2, 2}));
    EXPECT_EQ(p.rgb[6], (Rgb{0, 10, 20}));

    // A local table wins over the global one.
    r.localBits = 2;
    p = decode(buildGif(r));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.rgb[7], (Rgb{101, 111, 121}));

    // An image without width leaves the background everywhere.
    r.width = 0;
    r.codes = packCodes({{4, 3}, {5, 3}});
    p = decode(buildGif(r));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.indices, Bytes(20, 2));
}

TEST(GifRead, TransparentIndexShowsTheBackgroundColour)
{
    GifRecipe r;
    r.globalBits = 3;
    r.background = 5;
    r.transparent = 3;
    Picture p = decode(buildGif(r));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.indices[3], 3);
    EXPECT_EQ(p.rgb[3], (Rgb{5, 15, 25}));

    r.globalBits = 0;  // no global table: white
    r.localBits = 2;
    p = decode(buildGif(r));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.rgb[3], (Rgb{255, 255, 255}));
    EXPECT_EQ(p.rgb[2], (Rgb{102, 112, 122}));
}

TEST(GifRead, InterlacedRowsComeFromTheirPasses)
{
    GifRecipe r;
    r.screenWidth = r.width = 1;
    r.screenHeight = r.height = 10;
    r.globalBits = 4;
    r.codeSize = 4;
    r.interlaced = true;
    r.indices = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    Picture p = decode(buildGif(r));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.indices, (Bytes{0, 5, 3, 6, 2, 7, 4, 8, 1, 9}));
}

// Code streams at code size 2: clear 4, end 5, first free code 6, width 3.
TEST(GifRead, OddCodeStreamsStaySafe)
{
    struct Case {
        const char* what;
        Bytes codes;
        Bytes picture;
    };
    const std::vector<Case> cases{
        {"codes end early", packCodes({{4, 3}, {1, 3}, {2, 3}}), {1, 2, 0, 0}},
        {"end code stops", packCodes({{4, 3}, {1, 3}, {5, 3}, {2, 3}}), {1, 0, 0, 0}},
        {"repeated clear is only a clear", packCodes({{4, 3}, {4, 3}, {1, 3}, {2, 3}, {5, 3}}), {1, 2, 0, 0}},
        {"end right after a clear", packCodes({{4, 3}, {1, 3}, {4, 3}, {5, 3}, {2, 3}}), {1, 0, 0, 0}},
        {"unassigned code after a clear", packCodes({{4, 3}, {7, 3}, {1, 3}, {6, 3}}), {0, 0, 0, 0}},
        {"no clear first", packCodes({{1, 3}, {2, 3}, {6, 3}, {5, 3}}), {1, 2, 1, 2}},
        {"code defined by itself", packCodes({{4, 3}, {3, 3}, {6, 3}, {5, 3}}), {3, 3, 3, 0}},
        {"code past the next one", packCodes({{4, 3}, {2, 3}, {7, 3}, {2, 3}}), {2, 2, 2, 2}},
        {"string longer than the frame", packCodes({{4, 3}, {1, 3}, {6, 3}, {7, 3}}), {1, 1, 1, 0}},
    };
    for (const Case& c : cases) {
        GifRecipe r;
        r.codes = c.codes;
        Picture p = decode(buildGif(r));
        ASSERT_TRUE(p.ok) << c.what;
        EXPECT_EQ(p.indices, c.picture) << c.what;
    }

    // Noise for codes on a large frame: decoded without reading outside
    // any buffer, whatever it says.
    std::mt19937 random(5);
    for (int round = 0; round < 200; ++round) {
        GifRecipe r;
        r.screenWidth = r.width = 64;
        r.screenHeight = r.height = 64;
        r.codeSize = 2 + round % 7;
        r.globalBits = r.codeSize;
        r.codes.resize(1 + random() % 3000);
        for (auto& b : r.codes)
            b = static_cast<std::uint8_t>(random());
        EXPECT_TRUE(decode(buildGif(r)).ok);
    }
}

// ---- Writer -----------------------------------------------------------------------

// The clear codes of an encoded stream and the next free code at each,
// found the way a decoder follows the code width.
std::vector<int> nextCodeAtClears(const Bytes& data, int codeSize)
{
    const int clear = 1 << codeSize;
    int width = codeSize + 1, next = clear + 2;
    bool first = true;
    std::vector<int> found;
    std::uint64_t bits = 0;
    int held = 0;
    for (std::size_t at = 0;;) {
        while (held < width && at < data.size())
            bits |= std::uint64_t{data[at++]} << held, held += 8;
        if (held < width)
            return found;
        const int code = static_cast<int>(bits & ((1u << width) - 1));
        bits >>= width;
        held -= width;
        if (code == clear + 1)
            return found;
        if (code == clear) {
            found.push_back(next);
            width = codeSize + 1, next = clear + 2, first = true;
            continue;
        }
        if (!first && next < 4096 && ++next > (1 << width) - 1 && width < 12)
            ++width;
        first = false;
    }
}

TEST(GifWrite, LzwCodes)
{
    // Clear, index 0 and end at 9 bits, then the final byte.
    EXPECT_EQ(encode({0}, 8), (Bytes{0x00, 0x01, 0x04, 0x04}));
    EXPECT_EQ(subBlocks(encode({0}, 8)), (Bytes{4, 0x00, 0x01, 0x04, 0x04, 0}));

    // Every pair of 256 indices in turn gives new strings until the
    // dictionary is full; a clear code follows at once.
    Bytes pairs;
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 64; ++b)
            pairs.insert(pairs.end(), {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)});
    const Bytes encoded = encode(pairs, 8);
    const std::vector<int> clears = nextCodeAtClears(encoded, 8);
    ASSERT_GE(clears.size(), 3u);
    EXPECT_EQ(clears[0], 258);
    for (std::size_t i = 1; i < clears.size(); ++i)
        EXPECT_EQ(clears[i], 4096);

    GifRecipe r;
    r.screenWidth = r.width = 128;
    r.screenHeight = r.height = static_cast<int>(pairs.size() / 128);
    r.globalBits = r.codeSize = 8;
    r.codes = encoded;
    Picture p = decode(buildGif(r));
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.indices, pairs);
}

TEST(GifWrite, SubBlocksHoldAtMost255Bytes)
{
    for (std::size_t size : {1u, 254u, 255u, 256u, 510u, 511u}) {
        Bytes data(size);
        for (std::size_t i = 0; i < size; ++i)
            data[i] = static_cast<std::uint8_t>(i * 7);
        Bytes blocks = subBlocks(data);
        Bytes joined;
        std::size_t at = 0;
        for (std::size_t length = blocks[at]; length; at += length + 1, length = blocks[at]) {
            EXPECT_EQ(length, std::min<std::size_t>(255, size - joined.size())) << size;
            joined.insert(joined.end(), blocks.begin() + static_cast<long>(at) + 1,
                          blocks.begin() + static_cast<long>(at + 1 + length));
        }
        EXPECT_EQ(at + 1, blocks.size()) << size;
        EXPECT_EQ(joined, data) << size;
    }
}

struct TestImage {
    const char* name;
    int width, height, bits;
    Palette palette{};
    Bytes pixels{};

    ImageView view() const { return {width, height, bits, &palette, pixels}; }
};

TestImage makeImage(const char* name, int width, int height, int bits, std::uint32_t seed)
{
    TestImage image{name, width, height, bits};
    std::mt19937 random(seed);
    for (auto& c : image.palette)
        c = {static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()),
             static_cast<std::uint8_t>(random()), 0};
    const RowLayout layout = rowLayout(width, height, bits);
    image.pixels.resize(static_cast<std::size_t>(layout.imageSize));
    for (int y = 0; y < height; ++y)
        for (std::int64_t i = 0; i < layout.rowBytes; ++i) {
            // Smooth colour for 24 bits, random indices for palettes.
            const std::int64_t x = bits == 24 ? i / 3 : i;
            image.pixels[static_cast<std::size_t>(y * layout.stride + i)] = static_cast<std::uint8_t>(
                bits == 24 ? (i % 3 == 0 ? x * 3 : i % 3 == 1 ? y * 5 : (x + y) * 2) + random() % 9 : random());
        }
    return image;
}

TEST(GifWrite, HeaderAndTableFollowTheDepth)
{
    test::ScratchFolder folder;
    struct Case {
        int bits;
        std::uint8_t packed;
        std::size_t tableBytes;
        std::uint8_t codeSize;
    };
    for (const Case& c : {Case{8, 0xF7, 768, 8}, Case{24, 0xF7, 768, 8}, Case{4, 0xB3, 48, 4}, Case{1, 0x80, 6, 2}}) {
        TestImage image = makeImage("x", 5, 3, c.bits, 1);
        ASSERT_TRUE(WriteGif(image.view(), folder / "x.gif").ok()) << c.bits;
        const std::string file = test::readText(folder / "x.gif");
        ASSERT_GT(file.size(), 13 + c.tableBytes + 11);
        EXPECT_EQ(file.substr(0, 6), "GIF89a");
        EXPECT_EQ(static_cast<std::uint8_t>(file[10]), c.packed) << c.bits;
        EXPECT_EQ(file[13 + c.tableBytes], 0x2C) << c.bits;
        EXPECT_EQ(static_cast<std::uint8_t>(file[13 + c.tableBytes + 10]), c.codeSize) << c.bits;
        EXPECT_EQ(file.back(), 0x3B);
    }

    // Depths the writer has no table for, and a file it cannot create.
    TestImage image = makeImage("x", 5, 3, 8, 1);
    image.bits = 32;
    EXPECT_EQ(WriteGif(image.view(), folder / "y.gif").error(), CodecError::writeFailed);
    image.bits = 8;
    EXPECT_EQ(WriteGif(image.view(), folder / "none" / "y.gif").error(), CodecError::cannotCreate);
    if (fs::exists("/dev/full")) {
        EXPECT_EQ(WriteGif(image.view(), "/dev/full").error(), CodecError::writeFailed);
    }
}

// Our files against Pillow's and ImageMagick's decoders and our reader.
TEST(GifWrite, OthersDecodeOurFiles)
{
    if (!haveTool("/usr/bin/python3") || !haveTool("/usr/bin/convert"))
        GTEST_SKIP() << "Pillow or ImageMagick missing";
    test::ScratchFolder folder;
    std::vector<TestImage> images{
        makeImage("bits1", 13, 5, 1, 2),       makeImage("bits2", 7, 9, 2, 3),
        makeImage("bits4", 33, 17, 4, 4),      makeImage("bits8", 301, 41, 8, 5),
        makeImage("photo", 257, 130, 24, 6),   makeImage("single", 1, 1, 24, 7),
        makeImage("column", 1, 300, 8, 8),
    };
    std::string names;
    for (const TestImage& image : images) {
        ASSERT_TRUE(WriteGif(image.view(), folder / (std::string(image.name) + ".gif")).ok()) << image.name;
        names += " " + quoted(folder / (std::string(image.name) + ".gif"));
    }
    // Each decoder writes NAME.<decoder>: palette indices (Pillow) or
    // colours (ImageMagick) top-down.
    const std::string pillow =
        "import sys\nfrom PIL import Image\nfor p in sys.argv[1:]:\n im = Image.open(p)\n im.load()\n"
        " assert im.mode == 'P'\n open(p + '.pil', 'wb').write(bytes(im.getpalette()[:768]).ljust(768, b'\\0') + "
        "im.tobytes())\n";
    test::writeText(folder / "decode.py", pillow);
    auto ran = test::runCommand("/usr/bin/python3 " + quoted(folder / "decode.py") + names);
    ASSERT_EQ(ran.status, 0) << ran.output;

    for (const TestImage& image : images) {
        SCOPED_TRACE(image.name);
        const fs::path path = folder / (std::string(image.name) + ".gif");
        Picture ours = decodeFile(path);
        ASSERT_TRUE(ours.ok);
        ASSERT_EQ(ours.width, image.width);
        ASSERT_EQ(ours.height, image.height);

        const std::string pil = test::readText(path.string() + ".pil");
        ASSERT_EQ(pil.size(), 768 + ours.indices.size());
        EXPECT_EQ(Bytes(pil.begin() + 768, pil.end()), ours.indices);
        const int tableEntries = 1 << ((test::readText(path)[10] & 7) + 1);
        for (int i = 0; i < tableEntries; ++i) {
            const RgbQuad& c = ours.palette[static_cast<std::size_t>(i)];
            EXPECT_EQ(Bytes(pil.begin() + 3 * i, pil.begin() + 3 * i + 3), (Bytes{c.rgbRed, c.rgbGreen, c.rgbBlue}));
        }

        auto magick = test::runCommand("/usr/bin/convert " + quoted(path) + " -depth 8 rgb:" + quoted(fs::path(path.string() + ".im")));
        ASSERT_EQ(magick.status, 0) << magick.output;
        const std::string im = test::readText(path.string() + ".im");
        ASSERT_EQ(im.size(), 3 * ours.rgb.size());
        for (std::size_t i = 0; i < ours.rgb.size(); ++i)
            ASSERT_EQ((Rgb{static_cast<std::uint8_t>(im[3 * i]), static_cast<std::uint8_t>(im[3 * i + 1]),
                                 static_cast<std::uint8_t>(im[3 * i + 2])}),
                      ours.rgb[i])
                << i;

        // Paletted images keep every colour exactly.
        if (image.bits != 24) {
            for (int y = 0; y < image.height; ++y)
                for (int x = 0; x < image.width; ++x) {
                    const RowLayout layout = rowLayout(image.width, 1, image.bits);
                    const std::uint8_t* row = image.pixels.data() + (image.height - 1 - y) * layout.stride;
                    const int perByte = 8 / image.bits;
                    const int index =
                        (row[x / perByte] >> (8 - image.bits - (x % perByte) * image.bits)) & ((1 << image.bits) - 1);
                    const RgbQuad& c = image.palette[static_cast<std::size_t>(index)];
                    ASSERT_EQ(ours.rgb[static_cast<std::size_t>(y * image.width + x)],
                              (Rgb{c.rgbRed, c.rgbGreen, c.rgbBlue}))
                        << x << "," << y;
                }
        }
    }
}

// ---- Through the command-line program ------------------------------------------------

double compareImages(const std::string& metric, const fs::path& a, const fs::path& b)
{
    auto result = test::runCommand("/usr/bin/compare -metric " + metric + " " + quoted(a) + " " + quoted(b) + " null:");
    if (result.output.rfind("inf", 0) == 0)
        return 1e9;
    return std::atof(result.output.c_str());
}

TEST(GifEndToEnd, EveryInputToGifAndBack)
{
    if (!haveTool("/usr/bin/convert") || !haveTool("/usr/bin/compare"))
        GTEST_SKIP() << "ImageMagick missing";
    test::CliInstall cli("DrctCvt=4\r\n");
    const fs::path root = cli.root();
    struct Input {
        const char* name;
        const char* options;
        bool exact;
    };
    const std::vector<Input> inputs{
        {"bmp1.bmp", "-monochrome -compress none BMP3:", true},
        {"bmp4.bmp", "-colors 16 -compress none BMP3:", true},
        {"bmp8.bmp", "-colors 200 -compress none BMP3:", true},
        {"bmp24.bmp", "-type truecolor -compress none BMP3:", false},
        {"pal.png", "-colors 40 PNG8:", true},
        {"rgb.png", "PNG24:", false},
        {"photo.jpg", "-quality 90 ", false},
        {"anim.gif", "-colors 100 ", true},
    };
    std::string arguments;
    for (const Input& in : inputs) {
        auto made = test::runCommand("/usr/bin/convert rose: -resize 150% " + std::string(in.options) +
                                     quoted(root / in.name));
        ASSERT_EQ(made.status, 0) << made.output;
        arguments += " " + quoted(root / in.name);
    }
    auto result = cli.run(arguments);
    ASSERT_EQ(result.status, 0) << result.output;
    for (const Input& in : inputs) {
        const std::string stem = fs::path(in.name).stem().string();
        const fs::path output = root / (stem + (stem == "anim" ? "+1.gif" : ".gif"));
        ASSERT_TRUE(decodeFile(output).ok) << output;
        if (in.exact)
            EXPECT_EQ(compareImages("AE", root / in.name, output), 0) << in.name;
        else
            EXPECT_GT(compareImages("PSNR", root / in.name, output), 28) << in.name;
    }

    // GIF to the other formats, with the format chosen by key.
    test::CliInstall choose("DrctCvt=0\r\n");
    fs::copy_file(root / "anim.gif", choose.root() / "anim.gif");
    for (const char* key : {"b", "p", "j", "g"}) {
        auto chosen = choose.run(quoted(choose.root() / "anim.gif"), std::string(key) + "\\n");
        ASSERT_EQ(chosen.status, 0) << key << chosen.output;
    }
    EXPECT_EQ(compareImages("AE", root / "anim.gif", choose.root() / "anim.bmp"), 0);
    EXPECT_EQ(compareImages("AE", root / "anim.gif", choose.root() / "anim.png"), 0);
    EXPECT_GT(compareImages("PSNR", root / "anim.gif", choose.root() / "anim.jpg"), 25);
    EXPECT_EQ(compareImages("AE", root / "anim.gif", choose.root() / "anim+1.gif"), 0);
    EXPECT_TRUE(test::listFolder(choose.temp()).empty());
}

}  // namespace
}  // namespace vrelk
