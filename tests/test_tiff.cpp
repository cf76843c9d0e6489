// The TIFF reader: refusals and their reasons, hostile structure, the pixel
// and palette rules in both byte orders, short strips, resolution, and files
// from libtiff's tools, ImageMagick and Pillow compared with Pillow's decode.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>

#include "codecs/byte_cursor.h"
#include "codecs/decode_memory.h"
#include "codecs/tiff.h"
#include "pixel/lookup_tables.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kAscii = 2, kShort = 3, kLong = 4, kRational = 5;

struct Field {
    std::uint16_t tag;
    std::uint16_t type;
    std::vector<std::uint32_t> values;  // RATIONALs as numerator, denominator pairs
    std::optional<std::uint32_t> count{};  // a stated count and raw value field,
    std::uint32_t raw = 0;                 // for structure the values cannot give
};

// Header, pixel data at offset 8, the directory, then out-of-line values.
Bytes tiff(bool le, const std::vector<Field>& fields, const Bytes& pixels)
{
    auto put = [le](Bytes& to, std::uint64_t value, std::size_t size) {
        for (std::size_t b = 0; b < size; ++b)
            to.push_back(static_cast<std::uint8_t>(le ? value >> (8 * b) : value >> (8 * (size - 1 - b))));
    };
    Bytes out = le ? Bytes{'I', 'I'} : Bytes{'M', 'M'};
    put(out, 42, 2);
    put(out, 8 + pixels.size(), 4);
    out.insert(out.end(), pixels.begin(), pixels.end());
    const std::size_t extraAt = out.size() + 2 + 12 * fields.size() + 4;
    Bytes extra;
    put(out, fields.size(), 2);
    for (const Field& f : fields) {
        Bytes value;
        for (std::uint32_t v : f.values)
            put(value, v, f.type == kShort ? 2 : 4);
        put(out, f.tag, 2);
        put(out, f.type, 2);
        put(out, f.count.value_or(static_cast<std::uint32_t>(f.values.size() / (f.type == kRational ? 2 : 1))), 4);
        if (f.count) {
            put(out, f.raw, 4);
        } else if (value.size() <= 4) {
            value.resize(4);
            out.insert(out.end(), value.begin(), value.end());
        } else {
            put(out, extraAt + extra.size(), 4);
            extra.insert(extra.end(), value.begin(), value.end());
        }
    }
    put(out, 0, 4);
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
}

std::vector<Field> basic(std::uint32_t width, std::uint32_t height, std::vector<std::uint32_t> bits,
                         std::uint32_t photometric, std::size_t pixelBytes)
{
    return {{256, kShort, {width}},
            {257, kLong, {height}},
            {258, kShort, bits},
            {277, kShort, {static_cast<std::uint32_t>(bits.size())}},
            {259, kShort, {1}},
            {262, kShort, {photometric}},
            {273, kLong, {8}},
            {279, kLong, {static_cast<std::uint32_t>(pixelBytes)}}};
}

std::vector<Field> with(std::vector<Field> fields, const std::vector<Field>& changes)
{
    for (const Field& change : changes) {
        bool replaced = false;
        for (Field& f : fields)
            if (f.tag == change.tag && !replaced)
                f = change, replaced = true;
        if (!replaced)
            fields.push_back(change);
    }
    return fields;
}

std::vector<Field> without(std::vector<Field> fields, std::uint16_t tag)
{
    std::erase_if(fields, [tag](const Field& f) { return f.tag == tag; });
    return fields;
}

const LookupTables& tables()
{
    static const auto built = [] {
        auto made = std::make_unique<LookupTables>();
        buildLookupTables(*made);
        return made;
    }();
    return *built;
}

Result<Picture> decode(const Bytes& file) { return ReadTiff(ByteCursor(file), tables()); }

// Red, green, blue of pixel (x, y), counted from the top.
std::array<int, 3> pixel(const Picture& image, int x, int y)
{
    const int bits = image.bits();
    const auto stride = static_cast<std::size_t>(rowLayout(image.width, 1, bits).stride);
    const std::uint8_t* row = image.pixels.data() + stride * static_cast<std::size_t>(image.height - 1 - y);
    if (bits == 24)
        return {row[3 * x + 2], row[3 * x + 1], row[3 * x]};
    const RgbQuad& q = image.palette[row[x]];
    return {q.rgbRed, q.rgbGreen, q.rgbBlue};
}

const Bytes kGrey2x2{10, 20, 30, 40};

TEST(TiffRead, RefusalsAndReasons)
{
    const auto grey = basic(2, 2, {8}, 1, 4);
    auto greyWith = [&](const std::vector<Field>& changes) { return tiff(true, with(grey, changes), kGrey2x2); };
    auto rgbWith = [](const std::vector<Field>& changes) {
        return tiff(true, with(basic(1, 1, {8, 8, 8}, 2, 3), changes), Bytes(3));
    };
    auto patched = [&](std::size_t at, std::uint8_t value) {
        Bytes file = tiff(true, grey, kGrey2x2);
        file[at] = value;
        return file;
    };
    Bytes entriesCut = tiff(true, grey, kGrey2x2);
    entriesCut.resize(entriesCut.size() - 10);
    auto repeated = grey;
    repeated.push_back({273, kLong, {8}});
    // No error: a layout libtiff reads, or structure it repairs, which
    // earlier versions refused.
    struct Case {
        const char* name;
        Bytes file;
        std::optional<CodecError> error;
    };
    const Case cases[] = {
        {"short header", Bytes{'I', 'I', 42, 0, 8, 0, 0}, CodecError::truncated},
        {"byte-order mark", patched(1, 'M'), CodecError::notThisFormat},
        {"version", patched(2, 43), CodecError::notThisFormat},
        {"directory past the end", patched(7, 0x7F), CodecError::damaged},
        {"entries past the end", entriesCut, CodecError::damaged},
        {"width of type ASCII", greyWith({{256, kAscii, {2}}}), CodecError::damaged},
        {"height 0", greyWith({{257, kShort, {0}}}), CodecError::damaged},
        {"width 25001", greyWith({{256, kLong, {25001}}}), CodecError::unsupported},
        {"bits 8, 8, 16", rgbWith({{258, kShort, {8, 8, 16}}}), CodecError::damaged},
        {"four samples", rgbWith({{258, kShort, {8, 8, 8, 8}}}), std::nullopt},
        {"separate planes without a strip each", rgbWith({{284, kShort, {2}}}), CodecError::damaged},
        {"grey with three samples", greyWith({{258, kShort, {8, 8, 8}}}), std::nullopt},
        {"2-bit grey", greyWith({{258, kShort, {2}}}), std::nullopt},
        {"no photometric", tiff(true, without(grey, 262), kGrey2x2), std::nullopt},
        {"palette without colour map", greyWith({{262, kShort, {3}}}), std::nullopt},
        {"colour map past the end", greyWith({{262, kShort, {3}}, {320, kShort, {}, 768, 0xFFFFFF00u}}),
         std::nullopt},
        {"repeated strip array", tiff(true, repeated, kGrey2x2), std::nullopt},
        {"strip array of bytes", greyWith({{273, 1, {8}}}), CodecError::damaged},
        {"array lengths differ", greyWith({{273, kShort, {8, 10}}}), CodecError::damaged},
        {"array past the end", greyWith({{273, kLong, {}, 4, 0xFFFFFFF0u}}), CodecError::damaged},
        {"huge strip count", greyWith({{273, kLong, {}, 0x40000000u, 8}}), CodecError::damaged},
        {"empty strip array", greyWith({{273, kLong, {}, 0, 8}}), CodecError::damaged},
        {"no strips", tiff(true, without(without(grey, 273), 279), kGrey2x2), CodecError::damaged},
        {"strip past the end", greyWith({{279, kLong, {400}}}), CodecError::damaged},
        {"strip offset near 2^32", greyWith({{273, kLong, {0xFFFFFFFCu}}}), CodecError::damaged},
        {"25000 x 25000 grey in 16 bytes", tiff(true, basic(25000, 25000, {8}, 1, 16), Bytes(16, 0x80)),
         CodecError::truncated},
        {"2048 x 2048 grey under 1/64 there", tiff(true, basic(2048, 2048, {8}, 1, 65535), Bytes(65535, 0x80)),
         CodecError::truncated},
    };
    for (const Case& c : cases) {
        Result<Picture> image = decode(c.file);
        if (!c.error) {
            EXPECT_TRUE(image.ok()) << c.name;
            continue;
        }
        ASSERT_FALSE(image.ok()) << c.name;
        EXPECT_EQ(image.error(), *c.error) << c.name;
    }
}

// Structure built to exhaust or mislead the decoder: each file fails (or,
// where the first page is whole, decodes) without reading outside the file
// and within a small budget, nothing printed.
TEST(TiffRead, HostileStructure)
{
    const auto lzw = with(basic(2, 2, {8}, 1, 4), {{259, kShort, {5}}});
    auto lzwWith = [&](const std::vector<Field>& changes) { return tiff(true, with(lzw, changes), kGrey2x2); };
    auto tiled = [&](std::uint32_t side) {
        return tiff(true, with(without(without(lzw, 273), 279), {{322, kLong, {side}}, {323, kLong, {side}},
                                                                  {324, kLong, {8}}, {325, kLong, {4}}}),
                    kGrey2x2);
    };
    Bytes loop = tiff(true, basic(2, 2, {8}, 1, 4), kGrey2x2);
    const std::size_t nextAt = loop.size() - 4;  // no out-of-line values: the next-directory field ends the file
    loop[nextAt] = 12;  // the directory itself
    std::vector<std::uint32_t> manyStrips(100000, 8);
    struct Case {
        const char* name;
        Bytes file;
        bool decodes;
    };
    const Case cases[] = {
        {"compressed strip past the end", lzwWith({{273, kLong, {0xFFFFFF00u}}}), false},
        {"strip of 4 GB", lzwWith({{279, kLong, {0xFFFFFFFFu}}}), false},
        {"tile side 0", tiled(0), false},
        {"tile side 2^31", tiled(0x80000000u), false},
        {"directory naming itself next", loop, true},
        {"1x1 with 100000 strips", tiff(true, with(basic(1, 1, {8}, 1, 1), {{273, kLong, manyStrips}, {279, kLong, std::vector<std::uint32_t>(100000, 1)}}), Bytes{7}), true},
        {"20000x20000 from 10 bytes", tiff(true, with(lzw, {{256, kLong, {20000}}, {257, kLong, {20000}}}), kGrey2x2), false},
        {"LZW data that is not LZW", tiff(true, lzw, kGrey2x2), false},
    };
    platform::MemoryBudget budget(64u << 20);
    for (const Case& c : cases) {
        DecodeMemory memory(budget);
        ReadLimits limits;
        limits.memory = &memory;
        Result<Picture> image = ReadTiff(ByteCursor(c.file), tables(), limits);
        EXPECT_EQ(image.ok(), c.decodes) << c.name;
        EXPECT_LE(memory.held(), 64u << 20) << c.name;
    }
}

// Each case decodes the same bytes in both byte orders.
TEST(TiffRead, PixelsAndPalettes)
{
    std::vector<Field> colourMap{{262, kShort, {3}}, {320, kShort, {0xFFFF, 0x80FF, 0, 0, 0, 0}}};
    struct Case {
        const char* name;
        std::vector<Field> fields;
        Bytes data;
        std::vector<std::array<int, 3>> topRow;
        std::array<int, 3> firstOfSecondRow;
    };
    const Case cases[] = {
        {"bilevel WhiteIsZero", basic(10, 2, {1}, 0, 4), {0x40, 0x40, 0x80, 0},
         {{255, 255, 255}, {0, 0, 0}, {255, 255, 255}}, {0, 0, 0}},
        {"bilevel BlackIsZero", basic(10, 2, {1}, 1, 4), {0x40, 0x40, 0x80, 0},
         {{0, 0, 0}, {255, 255, 255}, {0, 0, 0}}, {255, 255, 255}},
        {"4-bit grey", basic(3, 2, {4}, 1, 4), {0x0F, 0x10, 0x20, 0}, {{0, 0, 0}, {255, 255, 255}, {17, 17, 17}},
         {34, 34, 34}},
        {"8-bit grey", basic(2, 2, {8}, 1, 4), kGrey2x2, {{10, 10, 10}, {20, 20, 20}}, {30, 30, 30}},
        {"1-bit palette", with(basic(2, 2, {1}, 3, 2), colourMap), {0x40, 0x80}, {{255, 0, 0}, {128, 0, 0}},
         {128, 0, 0}},
        {"RGB 8", basic(2, 2, {8, 8, 8}, 2, 12), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, {{1, 2, 3}, {4, 5, 6}},
         {7, 8, 9}},
    };
    for (bool le : {true, false}) {
        for (const Case& c : cases) {
            Result<Picture> image = decode(tiff(le, c.fields, c.data));
            ASSERT_TRUE(image.ok()) << c.name << " " << le;
            for (std::size_t x = 0; x < c.topRow.size(); ++x)
                EXPECT_EQ(pixel(*image, static_cast<int>(x), 0), c.topRow[x]) << c.name << " " << le << " x " << x;
            EXPECT_EQ(pixel(*image, 0, 1), c.firstOfSecondRow) << c.name << " " << le;
        }
        // Sample 0x1234 is stored 34 12 little-endian and 12 34 big-endian.
        Bytes samples = le ? Bytes{0x34, 0x12, 0xCD, 0xAB, 0x02, 0x01} : Bytes{0x12, 0x34, 0xAB, 0xCD, 0x01, 0x02};
        Result<Picture> deep = decode(tiff(le, basic(1, 1, {16, 16, 16}, 2, 6), samples));
        ASSERT_TRUE(deep.ok());
        EXPECT_EQ(pixel(*deep, 0, 0), (std::array<int, 3>{0x12, 0xAB, 0x01})) << le;
    }
}

// 8-bit RGB rows are turned four pixels at a time: every remainder of a
// width, and a fourth sample of no stated meaning, land where they belong.
TEST(TiffRead, RgbRowsOfEveryWidth)
{
    for (std::uint32_t samples : {3u, 4u}) {
        for (std::uint32_t width = 1; width <= 9; ++width) {
            Bytes row(std::size_t{width} * samples);
            for (std::size_t i = 0; i < row.size(); ++i)
                row[i] = static_cast<std::uint8_t>(i * 7 + 1);
            auto fields = basic(width, 1, std::vector<std::uint32_t>(samples, 8), 2, row.size());
            if (samples == 4)
                fields = with(fields, {{338, kShort, {0}}});
            Result<Picture> image = decode(tiff(true, fields, row));
            ASSERT_TRUE(image.ok()) << samples << " samples, width " << width;
            for (std::uint32_t x = 0; x < width; ++x) {
                const std::uint8_t* p = row.data() + std::size_t{x} * samples;
                EXPECT_EQ(pixel(*image, static_cast<int>(x), 0), (std::array<int, 3>{p[0], p[1], p[2]}))
                    << samples << " samples, width " << width << ", x " << x;
            }
        }
    }
}

// Strips lie in the file in any order; strips short of the rows leave the
// missing rows zero, with a partly present row padded with zeros.
TEST(TiffRead, StripsGatheredAndShortStrips)
{
    // Two one-row strips stored second row first.
    auto reversed = with(basic(2, 2, {8}, 1, 4), {{273, kLong, {10, 8}}, {279, kLong, {2, 2}}});
    Result<Picture> gathered = decode(tiff(true, reversed, {30, 40, 10, 20}));
    ASSERT_TRUE(gathered.ok());
    EXPECT_EQ(pixel(*gathered, 1, 0)[0], 20);
    EXPECT_EQ(pixel(*gathered, 0, 1)[0], 30);

    Result<Picture> shortRgb = decode(tiff(false, basic(2, 3, {8, 8, 8}, 2, 9), Bytes(9, 200)));
    ASSERT_TRUE(shortRgb.ok());
    EXPECT_EQ(pixel(*shortRgb, 1, 0), (std::array<int, 3>{200, 200, 200}));
    EXPECT_EQ(pixel(*shortRgb, 0, 1), (std::array<int, 3>{200, 200, 200}));
    EXPECT_EQ(pixel(*shortRgb, 1, 1), (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(pixel(*shortRgb, 0, 2), (std::array<int, 3>{0, 0, 0}));
}

TEST(TiffRead, Resolution)
{
    struct Case {
        std::vector<Field> extra;
        std::int32_t x, y;
    };
    const Case cases[] = {
        {{{282, kRational, {72, 1}}, {283, kRational, {144, 2}}}, 2835, 2835},
        {{{282, kRational, {100, 1}}, {283, kRational, {50, 1}}, {296, kShort, {3}}}, 10000, 5000},
        {{}, 0, 0},
        {{{282, kRational, {72, 1}}}, 0, 0},
        {{{282, kRational, {72, 0}}, {283, kRational, {72, 1}}}, 0, 0},
        {{{282, kRational, {0xFFFFFFFFu, 1}}, {283, kRational, {72, 1}}}, 0, 2835},
        {{{282, kRational, {50000000, 1}}, {283, kRational, {72, 1}}, {296, kShort, {3}}}, 0, 7200},
        {{{282, kRational, {}, 1, 0xFFFFFFFCu}, {283, kRational, {72, 1}}}, 0, 0},
    };
    for (bool le : {true, false}) {
        for (const Case& c : cases) {
            Result<Picture> image = decode(tiff(le, with(basic(2, 2, {8}, 1, 4), c.extra), kGrey2x2));
            ASSERT_TRUE(image.ok());
            EXPECT_EQ(image->meta.resolution.xPerMetre, c.x) << &c - cases;
            EXPECT_EQ(image->meta.resolution.yPerMetre, c.y) << &c - cases;
        }
    }
}

// Files written by libtiff's tools, ImageMagick and Pillow (see
// tiff_fixtures.py), against Pillow's decode of each.
TEST(TiffRead, IndependentEncoders)
{
    VRELK_REQUIRE_TOOLS(test::havePillow() && test::haveImageMagick() && fs::exists("/usr/bin/tiffcp"),
                        "Pillow, ImageMagick or libtiff tools");
    test::ScratchFolder folder;
    fs::path script = fs::path(__FILE__).parent_path() / "tiff_fixtures.py";
    auto made = test::runCommand(test::python() + " " + test::quoted(script) + " " + test::quoted(folder.path()));
    ASSERT_EQ(made.status, 0) << made.output;

    std::ifstream manifest(folder / "manifest.txt");
    int decoded = 0, refused = 0;
    for (std::string line; std::getline(manifest, line);) {
        std::istringstream fields(line);
        std::string name;
        int expectedError = 0;
        fields >> name >> expectedError;
        std::string file = test::readText(folder / (name + ".tif"));
        Result<Picture> image =
            ReadTiff(ByteCursor({reinterpret_cast<const std::uint8_t*>(file.data()), file.size()}), tables());
        if (expectedError != 0) {
            ASSERT_FALSE(image.ok()) << name;
            EXPECT_EQ(static_cast<int>(image.error()), expectedError) << name;
            ++refused;
            continue;
        }
        ASSERT_TRUE(image.ok()) << name << " " << static_cast<int>(image.error());
        std::string expected = test::readText(folder / (name + ".rgb"));
        const int width = image->width, height = image->height;
        ASSERT_EQ(expected.size(), 3 * static_cast<std::size_t>(width * height)) << name;
        int mismatches = 0;
        for (int i = 0; i < width * height; ++i) {
            const auto* e = reinterpret_cast<const std::uint8_t*>(expected.data()) + 3 * i;
            const auto got = pixel(*image, i % width, i / width);
            if (got != std::array<int, 3>{e[0], e[1], e[2]} && mismatches++ < 3)
                ADD_FAILURE() << name << " pixel " << i << ": got " << got[0] << "," << got[1] << "," << got[2]
                              << " want " << int(e[0]) << "," << int(e[1]) << "," << int(e[2]);
        }
        ++decoded;
    }
    EXPECT_GE(decoded, 38);
    EXPECT_EQ(refused, 0);
}

// Through the command-line program to each output format; Pillow compares
// the outputs with the inputs (JPEG within its loss).
constexpr const char* kSamePicture =
    "import sys, numpy as np; from PIL import Image\n"
    "a, b = (np.asarray(Image.open(p).convert(\"RGB\"), dtype=int) for p in sys.argv[1:3])\n"
    "sys.exit(int(a.shape != b.shape or bool(np.abs(a - b).mean() > int(sys.argv[3]))))";

TEST(TiffEndToEnd, ToBmpPngAndJpeg)
{
    VRELK_REQUIRE_TOOLS(test::havePillow(), "Pillow");
    Bytes rgb;
    for (int i = 0; i < 16 * 9; ++i)
        rgb.insert(rgb.end(), {static_cast<std::uint8_t>(i * 16 % 256), static_cast<std::uint8_t>(i), 200});
    const Bytes grey4{0x01, 0x23, 0x45, 0x60, 0x12, 0x34, 0x56, 0x70, 0x23, 0x45, 0x67, 0x80};
    const Bytes rgbFile = tiff(false, basic(16, 9, {8, 8, 8}, 2, rgb.size()), rgb);
    const Bytes greyFile = tiff(true, basic(7, 3, {4}, 0, grey4.size()), grey4);
    const Bytes lzwFile = tiff(true, with(basic(7, 3, {4}, 0, grey4.size()), {{259, kShort, {5}}}), grey4);

    const char* extensions[] = {"bmp", "png", "jpg"};
    for (int choice = 1; choice <= 3; ++choice) {
        test::CliInstall cli("DrctCvt=" + std::to_string(choice) + "\r\n");
        test::writeBytes(cli.root() / "rgb.tif", rgbFile);
        test::writeBytes(cli.root() / "grey.tif", greyFile);
        test::writeBytes(cli.root() / "lzw.tif", lzwFile);
        auto result = cli.run(test::quoted(cli.root() / "rgb.tif") + " " + test::quoted(cli.root() / "grey.tif") + " " +
                              test::quoted(cli.root() / "lzw.tif"));
        ASSERT_EQ(result.status, 1) << "lzw.tif was skipped: " << result.output;
        const std::string extension = extensions[choice - 1];
        EXPECT_FALSE(fs::exists(cli.root() / ("lzw." + extension)));
        for (const char* name : {"rgb", "grey"}) {
            const std::string input = test::quoted(cli.root() / (std::string(name) + ".tif"));
            const std::string output = test::quoted(cli.root() / (name + ("." + extension)));
            auto compared = test::runCommand(test::python() + " -c '" + std::string(kSamePicture) + "' " + input + " " +
                                             output + (choice == 3 ? " 6" : " 0"));
            EXPECT_EQ(compared.status, 0) << output << " " << compared.output;
        }
        EXPECT_TRUE(test::listFolder(cli.temp()).empty());
    }
}

}  // namespace
}  // namespace vrelk
