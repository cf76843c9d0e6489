// The GIF reader, the GIF writer and GIF through the command-line program.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <random>

#include "codecs/byte_cursor.h"
#include "codec_test_support.h"
#include "codecs/gif.h"
#include "codecs/gif_lzw.h"
#include "test_support.h"

namespace vrelk {
namespace {

Result<Picture> readGifFile(const std::filesystem::path& path)
{
    return test::readThrough(path, [](ByteCursor in) { return ReadGif(in); });
}

namespace fs = std::filesystem;
using test::quoted;
using Bytes = std::vector<std::uint8_t>;

bool haveTools() { return test::havePillow() && test::haveImageMagick(); }

// Codes of the given widths packed least significant bit first.
Bytes packCodes(std::initializer_list<std::pair<int, int>> codes)
{
    Bytes out;
    std::uint32_t bits = 0;
    int count = 0;
    for (auto [code, width] : codes)
        for (bits |= static_cast<std::uint32_t>(code) << count, count += width; count >= 8; count -= 8, bits >>= 8)
            out.push_back(static_cast<std::uint8_t>(bits));
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
    int screenWidth = 4, screenHeight = 1;
    int globalBits = 2;  // 0: no global table
    int background = 0;
    int transparent = -1;
    int left = 0, top = 0, width = 4, height = 1;
    int localBits = 0;
    bool interlaced = false;
    int codeSize = 2;
    Bytes indices{0, 1, 2, 3};
    Bytes codes{};  // empty: the indices encoded
    bool terminated = true;
};

// Colour i is (i, 10 + i, 20 + i) in the global table and (100 + i, ...)
// in the local one, so a picture shows which table each pixel took.
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
    out.insert(out.end(), {static_cast<std::uint8_t>(r.globalBits ? 0x80 | (r.globalBits - 1) : 0),
                           static_cast<std::uint8_t>(r.background), 0});
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
    out.insert(out.end(), blocks.begin(), blocks.end() - (r.terminated ? 0 : 1));
    if (r.terminated)
        out.push_back(0x3B);
    return out;
}

// Top-down: the index of each pixel and its colour as red, green, blue.
struct Shown {
    std::optional<CodecError> error;
    int width = 0, height = 0;
    Bytes indices{}, rgb{};
};

Shown picture(Result<vrelk::Picture> image)
{
    if (!image)
        return {image.error()};
    EXPECT_EQ(image->bits(), 8);
    Shown p{std::nullopt, image->width, image->height};
    const std::int64_t stride = rowLayout(p.width, 1, 8).stride;
    for (int y = p.height - 1; y >= 0; --y)
        for (int x = 0; x < p.width; ++x) {
            const std::uint8_t i = image->pixels.data()[y * stride + x];
            const RgbQuad& c = image->palette[i];
            p.indices.push_back(i);
            p.rgb.insert(p.rgb.end(), {c.rgbRed, c.rgbGreen, c.rgbBlue});
        }
    return p;
}

Shown decode(const Bytes& file) { return picture(ReadGif(ByteCursor(file))); }

template <class Change>
Bytes gifWith(Change change)
{
    GifRecipe r;
    change(r);
    return buildGif(r);
}

// ---- Reader ---------------------------------------------------------------------

// Pillow's, ImageMagick's and gifsicle's files against Pillow's decode,
// composed by our rules (tests/gif_fixtures.py).
TEST(GifRead, IndependentEncoders)
{
    VRELK_REQUIRE_TOOLS(haveTools() && fs::exists("/usr/bin/gifsicle"), "Pillow, ImageMagick or gifsicle");
    test::ScratchFolder folder;
    fs::path script = fs::path(__FILE__).parent_path() / "gif_fixtures.py";
    auto made = test::runCommand(test::python() + " " + quoted(script) + " " + quoted(folder.path()));
    ASSERT_EQ(made.status, 0) << made.output;
    std::ifstream manifest(folder / "manifest.txt");
    int files = 0;
    for (std::string name; std::getline(manifest, name); ++files) {
        Shown got = picture(readGifFile(folder / (name + ".gif")));
        ASSERT_FALSE(got.error) << name;
        const std::string expected = test::readText(folder / (name + ".rgb"));
        ASSERT_GE(expected.size(), 8u);
        const auto* size = reinterpret_cast<const std::uint8_t*>(expected.data());
        EXPECT_EQ(LoadU32BE(size), static_cast<std::uint32_t>(got.width)) << name;
        EXPECT_EQ(LoadU32BE(size + 4), static_cast<std::uint32_t>(got.height)) << name;
        EXPECT_TRUE(expected.substr(8) == std::string(got.rgb.begin(), got.rgb.end())) << name;
    }
    EXPECT_GE(files, 20);
}

TEST(GifRead, RefusesDamagedFiles)
{
    const Bytes good = buildGif(GifRecipe{});
    auto withTail = [&](const Bytes& tail) {  // blocks in place of the image
        // Sized once: GCC 12 at -O3 warns falsely on inserting into it.
        Bytes file(25 + tail.size());
        std::copy(good.begin(), good.begin() + 25, file.begin());
        std::copy(tail.begin(), tail.end(), file.begin() + 25);
        return file;
    };
    const std::vector<std::tuple<const char*, Bytes, CodecError>> cases{
        {"88a", gifWith([](GifRecipe& r) { r.version = "GIF88a"; }), CodecError::unsupported},
        {"screen width 0", gifWith([](GifRecipe& r) { r.screenWidth = 0; }), CodecError::damaged},
        {"no data terminator", gifWith([](GifRecipe& r) { r.terminated = false; }), CodecError::damaged},
        {"off the screen", gifWith([](GifRecipe& r) { r.left = 1; }), CodecError::damaged},
        {"no colour table", gifWith([](GifRecipe& r) { r.globalBits = 0; }), CodecError::damaged},
        {"code size 9", gifWith([](GifRecipe& r) { r.codeSize = 9; }), CodecError::damaged},
        {"short header", Bytes(good.begin(), good.begin() + 12), CodecError::truncated},
        {"short table", Bytes(good.begin(), good.begin() + 20), CodecError::damaged},
        {"trailer first", withTail({0x3B}), CodecError::damaged},
        {"unknown label", withTail({0x21, 0x02, 0}), CodecError::unsupported},
        {"unknown block", withTail({0x99}), CodecError::damaged},
        {"cut comment", withTail({0x21, 0xFE, 3, 'a'}), CodecError::damaged},
        {"empty image data", withTail({0x2C, 0, 0, 0, 0, 4, 0, 1, 0, 0, 2, 0}), CodecError::damaged},
        {"no image", withTail({}), CodecError::damaged},
    };
    for (const auto& [what, file, error] : cases)
        EXPECT_EQ(decode(file).error, error) << what;
}

TEST(GifRead, ComposesTheScreen)
{
    // A 3 x 2 image at (1, 1) on a 5 x 4 screen of background 2, behind a
    // comment; index 3 is transparent and shows the background's colour.
    GifRecipe r;
    r.screenWidth = 5, r.screenHeight = 4, r.background = 2, r.transparent = 3;
    r.left = r.top = 1, r.width = 3, r.height = 2;
    r.indices = {0, 1, 3, 3, 1, 0};
    Bytes file = buildGif(r);
    const Bytes comment{0x21, 0xFE, 2, 'h', 'i', 0};
    file.insert(file.begin() + 25, comment.begin(), comment.end());
    Shown p = decode(file);
    EXPECT_EQ(p.indices, (Bytes{2, 2, 2, 2, 2, 2, 0, 1, 3, 2, 2, 3, 1, 0, 2, 2, 2, 2, 2, 2}));
    EXPECT_EQ(Bytes(p.rgb.begin() + 3 * 8, p.rgb.begin() + 3 * 9), (Bytes{2, 12, 22}));

    // A local table wins; without a global one transparency shows white.
    r.localBits = 2, r.globalBits = 0;
    p = decode(buildGif(r));
    EXPECT_EQ(Bytes(p.rgb.begin() + 3 * 7, p.rgb.begin() + 3 * 9), (Bytes{101, 111, 121, 255, 255, 255}));

    // An image without width leaves the background everywhere.
    r.width = 0, r.globalBits = 2;
    r.codes = packCodes({{4, 3}, {5, 3}});
    EXPECT_EQ(decode(buildGif(r)).indices, Bytes(20, 2));

    // Interlaced rows come from their passes.
    p = decode(gifWith([](GifRecipe& g) {
        g.screenWidth = g.width = 1, g.screenHeight = g.height = 10;
        g.globalBits = g.codeSize = 4, g.interlaced = true;
        g.indices = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    }));
    EXPECT_EQ(p.indices, (Bytes{0, 5, 3, 6, 2, 7, 4, 8, 1, 9}));
}

// Code streams at code size 2: clear 4, end 5, first free code 6, width 3.
TEST(GifRead, OddCodeStreamsStaySafe)
{
    const std::vector<std::tuple<const char*, Bytes, Bytes>> cases{
        {"codes end early", packCodes({{4, 3}, {1, 3}, {2, 3}}), {1, 2, 0, 0}},
        {"end code stops", packCodes({{4, 3}, {1, 3}, {5, 3}, {2, 3}}), {1, 0, 0, 0}},
        {"repeated clear", packCodes({{4, 3}, {4, 3}, {1, 3}, {2, 3}, {5, 3}}), {1, 2, 0, 0}},
        {"end after a clear", packCodes({{4, 3}, {1, 3}, {4, 3}, {5, 3}, {2, 3}}), {1, 0, 0, 0}},
        {"unassigned after a clear", packCodes({{4, 3}, {7, 3}, {1, 3}, {6, 3}}), {0, 0, 0, 0}},
        {"no clear first", packCodes({{1, 3}, {2, 3}, {6, 3}, {5, 3}}), {1, 2, 1, 2}},
        {"code defined by itself", packCodes({{4, 3}, {3, 3}, {6, 3}, {5, 3}}), {3, 3, 3, 0}},
        {"code past the next", packCodes({{4, 3}, {2, 3}, {7, 3}, {2, 3}}), {2, 2, 2, 2}},
        {"string past the frame", packCodes({{4, 3}, {1, 3}, {6, 3}, {7, 3}}), {1, 1, 1, 0}},
    };
    for (const auto& [what, codes, indices] : cases) {
        const Bytes& stream = codes;  // clang 14 cannot capture a structured binding
        EXPECT_EQ(decode(gifWith([&](GifRecipe& r) { r.codes = stream; })).indices, indices) << what;
    }

    // Noise for codes: decoded without reading outside any buffer.
    std::mt19937 random(5);
    for (int round = 0; round < 200; ++round)
        EXPECT_FALSE(decode(gifWith([&](GifRecipe& r) {
                         r.screenWidth = r.width = r.screenHeight = r.height = 64;
                         r.globalBits = r.codeSize = 2 + round % 7;
                         r.codes.resize(1 + random() % 3000);
                         for (auto& b : r.codes)
                             b = static_cast<std::uint8_t>(random());
                     })).error);
}

// ---- Writer -----------------------------------------------------------------------

// The next free code at each clear code of a stream, following the code
// width as a decoder does.
std::vector<int> nextCodeAtClears(const Bytes& data, int codeSize)
{
    const int clear = 1 << codeSize;
    int width = codeSize + 1, next = clear + 2, held = 0;
    bool first = true;
    std::uint64_t bits = 0;
    std::vector<int> found;
    for (std::size_t at = 0;;) {
        for (; held < width && at < data.size(); held += 8)
            bits |= std::uint64_t{data[at++]} << held;
        const int code = static_cast<int>(bits & ((1u << width) - 1));
        if (held < width || code == clear + 1)
            return found;
        bits >>= width, held -= width;
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

TEST(GifWrite, LzwCodesAndSubBlocks)
{
    // Clear, index 0 and end at 9 bits, then the final byte.
    EXPECT_EQ(subBlocks(encode({0}, 8)), (Bytes{4, 0x00, 0x01, 0x04, 0x04, 0}));

    // Every pair of indices in turn makes a new string until the dictionary
    // is full; a clear code follows at once, and decoding goes on right.
    Bytes pairs;
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 64; ++b)
            pairs.insert(pairs.end(), {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)});
    const Bytes encoded = encode(pairs, 8);
    const std::vector<int> clears = nextCodeAtClears(encoded, 8);
    ASSERT_GE(clears.size(), 3u);
    EXPECT_EQ(std::count(clears.begin() + 1, clears.end(), 4096), static_cast<long>(clears.size() - 1));
    EXPECT_EQ(decode(gifWith([&](GifRecipe& r) {
                  r.screenWidth = r.width = 128, r.screenHeight = r.height = 256;
                  r.globalBits = r.codeSize = 8, r.codes = encoded;
              })).indices,
              pairs);

    for (auto [size, lengths] : {std::pair<std::size_t, Bytes>{255, {255, 0}}, {256, {255, 1, 0}}, {511, {255, 255, 1, 0}}}) {
        const Bytes blocks = subBlocks(Bytes(size, 7));
        Bytes found;
        for (std::size_t at = 0; at < blocks.size(); at += blocks[at] + 1u)
            found.push_back(blocks[at]);
        EXPECT_EQ(found, lengths) << size;
    }
}

// Strings by length, then byte by byte (GCC 12 at -O3 warns falsely on the
// memcmp of vector's own ordering).
struct SpellingOrder {
    bool operator()(const Bytes& a, const Bytes& b) const
    {
        if (a.size() != b.size())
            return a.size() < b.size();
        for (std::size_t i = 0; i < a.size(); ++i)
            if (a[i] != b[i])
                return a[i] < b[i];
        return false;
    }
};

// The textbook encoder: every string spelled out in a map, the same clear
// and width rules. Slow, but it cannot mistake one string for another.
Bytes encodeBySpelling(const Bytes& indices, int codeSize)
{
    const int clear = 1 << codeSize;
    std::map<Bytes, int, SpellingOrder> codes;
    int next = 0, width = 0;
    auto restart = [&] {
        codes.clear();
        for (int i = 0; i < clear; ++i)
            codes[{static_cast<std::uint8_t>(i)}] = i;
        next = clear + 2;
        width = codeSize + 1;
    };
    Bytes out;
    std::uint32_t bits = 0;
    int count = 0;
    auto emit = [&](int code) {
        for (bits |= static_cast<std::uint32_t>(code) << count, count += width; count >= 8; count -= 8, bits >>= 8)
            out.push_back(static_cast<std::uint8_t>(bits));
    };
    restart();
    emit(clear);
    Bytes current{indices[0]};
    for (std::size_t i = 1; i < indices.size(); ++i) {
        Bytes extended = current;
        extended.push_back(indices[i]);
        if (i + 1 < indices.size() && codes.count(extended)) {
            current = extended;
            continue;
        }
        emit(codes[current]);
        if (next == 4096) {
            emit(clear);
            restart();
        } else {
            if (width < 12 && next > (1 << width) - 1)
                ++width;
            codes[extended] = next++;
        }
        current = {indices[i]};
    }
    emit(codes[current]);
    emit(clear + 1);
    out.push_back(static_cast<std::uint8_t>(bits));
    return out;
}

// Long flat runs (a screenshot's background) build long strings that end in
// the same two bytes; runs across several clears must find no string left
// over from before a clear.
TEST(GifWrite, LzwMatchesTheTextbookEncoder)
{
    std::mt19937 random(29);
    auto runs = [&](int codeSize, std::size_t length, int longest) {
        Bytes out;
        while (out.size() < length)
            out.insert(out.end(), 1 + random() % longest, static_cast<std::uint8_t>(random() % (1u << codeSize)));
        out.resize(length);
        return out;
    };
    auto noise = [&](int codeSize, std::size_t length) {
        Bytes out(length);
        for (auto& b : out)
            b = static_cast<std::uint8_t>(random() % (1u << codeSize));
        return out;
    };
    const std::vector<std::pair<Bytes, int>> cases{
        {Bytes(50000, 3), 8},      {runs(8, 120000, 2000), 8}, {runs(2, 100000, 50), 2},
        {runs(4, 150000, 400), 4}, {noise(8, 60000), 8},       {noise(2, 60000), 2},
        {Bytes{5, 5}, 4},          {Bytes{1, 2, 1, 2, 1, 2, 1}, 2},
    };
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(encode(cases[i].first, cases[i].second), encodeBySpelling(cases[i].first, cases[i].second)) << i;
}

struct TestImage {
    std::string name;
    int width, height, bits;
    Palette palette{};
    Bytes pixels{};
    ImageView view() const { return {width, height, bits, &palette, pixels}; }
};

// Random palette and indices, or a smooth colour picture at 24 bits.
TestImage makeImage(std::string name, int width, int height, int bits)
{
    TestImage image{std::move(name), width, height, bits};
    std::mt19937 random(static_cast<std::uint32_t>(width * bits));
    for (auto& c : image.palette)
        c = {static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()), 0};
    const RowLayout layout = rowLayout(width, height, bits);
    image.pixels.resize(static_cast<std::size_t>(layout.imageSize));
    for (std::int64_t i = 0; i < layout.imageSize; ++i)
        image.pixels[static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(bits == 24 ? (i % 3) * 40 + i / layout.stride * 3 + i % layout.stride / 3 + random() % 9
                                                 : random());
    return image;
}

TEST(GifWrite, HeaderTableAndFailures)
{
    test::ScratchFolder folder;
    // Depth, packed header byte, table bytes, LZW code size.
    for (auto [bits, packed, table, codeSize] : {std::tuple{8, 0xF7, 768, 8}, std::tuple{24, 0xF7, 768, 8},
                                                 std::tuple{4, 0xB3, 48, 4}, std::tuple{1, 0x80, 6, 2}}) {
        ASSERT_TRUE(WriteGif(makeImage("x", 5, 3, bits).view(), folder / "x.gif").ok()) << bits;
        const std::string file = test::readText(folder / "x.gif");
        EXPECT_EQ(file.substr(0, 6), "GIF89a");
        EXPECT_EQ(static_cast<std::uint8_t>(file[10]), packed) << bits;
        EXPECT_EQ(file[13 + static_cast<std::size_t>(table)], 0x2C) << bits;
        EXPECT_EQ(file[23 + static_cast<std::size_t>(table)], codeSize) << bits;
        EXPECT_EQ(file.back(), 0x3B);
    }
    TestImage image = makeImage("x", 5, 3, 16);
    EXPECT_EQ(WriteGif(image.view(), folder / "y.gif").error(), CodecError::cannotWrite);
    image = makeImage("x", 5, 3, 8);
    EXPECT_EQ(WriteGif(image.view(), folder / "none" / "y.gif").error(), CodecError::cannotCreate);
    if (fs::exists("/dev/full")) {
        EXPECT_EQ(WriteGif(image.view(), "/dev/full").error(), CodecError::noSpace);
    }
}

// Pillow's palette and indices and ImageMagick's colours of our files
// against our reader's.
TEST(GifWrite, OthersDecodeOurFiles)
{
    VRELK_REQUIRE_TOOLS(haveTools(), "Pillow or ImageMagick");
    test::ScratchFolder folder;
    const std::vector<TestImage> images{makeImage("bits1", 13, 5, 1),   makeImage("bits4", 33, 17, 4),
                                        makeImage("bits8", 301, 41, 8), makeImage("photo", 257, 130, 24),
                                        makeImage("single", 1, 1, 24),  makeImage("column", 1, 300, 8)};
    std::string paths;
    for (const TestImage& image : images) {
        ASSERT_TRUE(WriteGif(image.view(), folder / (image.name + ".gif")).ok()) << image.name;
        paths.append(" ").append(quoted(folder / (image.name + ".gif")));
        auto magick = test::runCommand("/usr/bin/convert " + quoted(folder / (image.name + ".gif")) + " rgb:" +
                                       quoted(folder / (image.name + ".im")));
        ASSERT_EQ(magick.status, 0) << magick.output;
    }
    test::writeText(folder / "pil.py",
                    "import sys\nfrom PIL import Image\nfor p in sys.argv[1:]:\n im = Image.open(p)\n"
                    " open(p + '.pil', 'wb').write(im.tobytes() + bytes(im.convert('RGB').tobytes()))\n");
    auto pil = test::runCommand(test::python() + " " + quoted(folder / "pil.py") + paths);
    ASSERT_EQ(pil.status, 0) << pil.output;

    for (const TestImage& image : images) {
        Shown ours = picture(readGifFile(folder / (image.name + ".gif")));
        ASSERT_EQ(ours.width * ours.height, image.width * image.height) << image.name;
        const std::string pillow = test::readText(folder / (image.name + ".gif.pil"));
        EXPECT_TRUE(pillow == std::string(ours.indices.begin(), ours.indices.end()) +
                                  std::string(ours.rgb.begin(), ours.rgb.end()))
            << image.name;
        EXPECT_TRUE(test::readText(folder / (image.name + ".im")) == std::string(ours.rgb.begin(), ours.rgb.end()))
            << image.name;
    }
    // An 8-bit image keeps every colour (top row is the last in memory).
    Shown column = picture(readGifFile(folder / "column.gif"));
    for (int y = 0; y < 300; ++y) {
        const RgbQuad& c = images[5].palette[images[5].pixels[static_cast<std::size_t>((299 - y) * 4)]];
        ASSERT_EQ(Bytes(column.rgb.begin() + 3 * y, column.rgb.begin() + 3 * y + 3),
                  (Bytes{c.rgbRed, c.rgbGreen, c.rgbBlue}));
    }
}

// ---- Through the command-line program ------------------------------------------------

double compareImages(const std::string& metric, const fs::path& a, const fs::path& b)
{
    auto result = test::runCommand("/usr/bin/compare -metric " + metric + " " + quoted(a) + " " + quoted(b) + " null:");
    return result.output.rfind("inf", 0) == 0 ? 1e9 : std::atof(result.output.c_str());
}

TEST(GifEndToEnd, EveryInputToGifAndBack)
{
    VRELK_REQUIRE_TOOLS(haveTools(), "Pillow or ImageMagick");
    test::CliInstall cli("DrctCvt=4\r\n");
    const fs::path root = cli.root();
    // Name, ImageMagick options, whether a GIF holds every colour.
    const std::vector<std::tuple<std::string, std::string, bool>> inputs{
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
    for (const auto& [name, options, exact] : inputs) {
        auto made = test::runCommand("/usr/bin/convert rose: -resize 150% " + options + quoted(root / name));
        ASSERT_EQ(made.status, 0) << made.output;
        arguments.append(" ").append(quoted(root / name));
    }
    auto result = cli.run(arguments);
    ASSERT_EQ(result.status, 0) << result.output;
    for (const auto& [name, options, exact] : inputs) {
        const std::string stem = fs::path(name).stem().string();
        const fs::path output = root / (stem + (stem == "anim" ? "+1.gif" : ".gif"));
        ASSERT_FALSE(picture(readGifFile(output)).error) << output;
        if (exact)
            EXPECT_EQ(compareImages("AE", root / name, output), 0) << name;
        else
            EXPECT_GT(compareImages("PSNR", root / name, output), 28) << name;
    }

    // GIF to the other formats, the format chosen by key.
    test::CliInstall choose("DrctCvt=0\r\n");
    fs::copy_file(root / "anim.gif", choose.root() / "anim.gif");
    for (const char* key : {"b", "p", "j", "g"})
        ASSERT_EQ(choose.run(quoted(choose.root() / "anim.gif"), std::string(key) + "\\n").status, 0) << key;
    for (const char* output : {"anim.bmp", "anim.png", "anim+1.gif"})
        EXPECT_EQ(compareImages("AE", root / "anim.gif", choose.root() / output), 0) << output;
    EXPECT_GT(compareImages("PSNR", root / "anim.gif", choose.root() / "anim.jpg"), 25);
    EXPECT_TRUE(test::listFolder(choose.temp()).empty());
}

}  // namespace
}  // namespace vrelk
