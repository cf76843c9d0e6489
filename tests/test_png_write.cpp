// The PNG writer: chunk layout, the row filter choice, palette merging,
// refused depths, failed writes, and every written file read back by Pillow.
#include <gtest/gtest.h>

#include <libdeflate.h>

#include <cmath>
#include <cstring>
#include <random>

#include "test_support.h"
#include "png_builder.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

struct Image {
    int width = 0;
    int height = 0;
    int bits = 24;
    Palette palette{};
    PageBuffer pixels;

    Image(int w, int h, int b) : width(w), height(h), bits(b)
    {
        pixels = PageBuffer::allocate(static_cast<std::size_t>(rowLayout(w, h, b).imageSize));
    }
    std::int64_t stride() const { return rowLayout(width, 1, bits).stride; }
    // Row y counted from the top of the picture.
    std::uint8_t* row(int y) { return pixels.data() + (height - 1 - y) * stride(); }
};

bool write(const Image& image, const fs::path& path, std::optional<CodecError>* errorCode = nullptr)
{
    test::WriteOutcome outcome;
    bool ok = outcome.keep(WritePng(ImageView{image.width, image.height, image.bits, &image.palette,
                                              std::span(image.pixels.data(), image.pixels.size())},
                                    path));
    if (errorCode)
        *errorCode = outcome.errorCode;
    return ok;
}

struct Parsed {
    std::vector<std::pair<std::string, Bytes>> chunks;
    Bytes inflated;

    const Bytes* find(const std::string& type) const
    {
        for (const auto& [name, data] : chunks)
            if (name == type)
                return &data;
        return nullptr;
    }
};

Parsed parse(const fs::path& path)
{
    std::string text = test::readText(path);
    Bytes bytes(text.begin(), text.end());
    Parsed parsed;
    for (std::size_t pos = 8; pos + 12 <= bytes.size();) {
        std::uint32_t length = std::uint32_t{bytes[pos]} << 24 | bytes[pos + 1] << 16 | bytes[pos + 2] << 8 | bytes[pos + 3];
        std::string type(bytes.begin() + static_cast<std::ptrdiff_t>(pos + 4),
                         bytes.begin() + static_cast<std::ptrdiff_t>(pos + 8));
        parsed.chunks.push_back({type, Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(pos + 8),
                                             bytes.begin() + static_cast<std::ptrdiff_t>(pos + 8 + length))});
        pos += 12 + length;
    }
    if (const Bytes* data = parsed.find("IDAT")) {
        parsed.inflated.resize(1 << 20);
        uLongf size = static_cast<uLongf>(parsed.inflated.size());
        EXPECT_EQ(uncompress(parsed.inflated.data(), &size, data->data(), static_cast<uLong>(data->size())), Z_OK);
        parsed.inflated.resize(size);
    }
    return parsed;
}

void fillRgb(Image& image, int x, int y, std::uint8_t r, std::uint8_t g, std::uint8_t b)
{
    std::uint8_t* p = image.row(y) + 3 * x;
    p[0] = b;
    p[1] = g;
    p[2] = r;
}

TEST(PngWrite, ChunkLayoutAndEnd)
{
    test::ScratchFolder folder;
    Image image(1000, 2, 24);
    ASSERT_TRUE(write(image, folder / "a.png"));
    std::string text = test::readText(folder / "a.png");
    EXPECT_EQ(text.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    const std::string iendBytes("\0\0\0\0IEND\xae\x42\x60\x82", 12);
    EXPECT_EQ(text.substr(text.size() - 12), iendBytes);
    Parsed parsed = parse(folder / "a.png");
    ASSERT_EQ(parsed.chunks.size(), 3u);
    EXPECT_EQ(parsed.chunks[0].first, "IHDR");
    EXPECT_EQ(parsed.chunks[0].second, (Bytes{0, 0, 3, 232, 0, 0, 0, 2, 8, 2, 0, 0, 0}));
    EXPECT_EQ(parsed.chunks[1].first, "IDAT");
    EXPECT_EQ(parsed.inflated.size(), 3001u * 2);
}

TEST(PngWrite, FilterChoice)
{
    test::ScratchFolder folder;
    Image black(1, 1, 24);
    ASSERT_TRUE(write(black, folder / "black.png"));
    EXPECT_EQ(parse(folder / "black.png").inflated, (Bytes{0, 0, 0, 0}));

    Image white(1, 1, 24);
    fillRgb(white, 0, 0, 255, 255, 255);
    ASSERT_TRUE(write(white, folder / "white.png"));
    EXPECT_EQ(parse(folder / "white.png").inflated, (Bytes{0, 255, 255, 255}));

    Image grey(4, 1, 24);
    for (int x = 0; x < 4; ++x)
        fillRgb(grey, x, 0, 128, 128, 128);
    ASSERT_TRUE(write(grey, folder / "grey.png"));
    Bytes sub{1, 128, 128, 128, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(parse(folder / "grey.png").inflated, sub);

    // A vertical gradient: every row repeats the one above, so Up wins.
    Image stripes(16, 3, 24);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 16; ++x)
            fillRgb(stripes, x, y, static_cast<std::uint8_t>(x * 37), static_cast<std::uint8_t>(x * 11), 5);
    ASSERT_TRUE(write(stripes, folder / "stripes.png"));
    Bytes rows = parse(folder / "stripes.png").inflated;
    ASSERT_EQ(rows.size(), 3u * 49);
    EXPECT_EQ(rows[49], 2);
    EXPECT_EQ(rows[98], 2);
}

TEST(PngWrite, PaletteMerging)
{
    test::ScratchFolder folder;
    Image same(3, 2, 8);
    for (RgbQuad& c : same.palette)
        c = {9, 8, 7, 0};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            same.row(y)[x] = static_cast<std::uint8_t>(x * 100 + y);
    ASSERT_TRUE(write(same, folder / "same.png"));
    Parsed one = parse(folder / "same.png");
    EXPECT_EQ(*one.find("PLTE"), (Bytes{7, 8, 9}));
    EXPECT_EQ(one.inflated, (Bytes{0, 0, 0, 0, 0, 0, 0, 0}));

    Image mixed(4, 1, 8);
    mixed.palette[0] = mixed.palette[2] = {255, 255, 255, 0};
    mixed.palette[1] = {0, 0, 0, 0};
    for (int i = 3; i < 256; ++i)
        mixed.palette[static_cast<std::size_t>(i)] = {0, 0, 255, 0};
    std::uint8_t indices[] = {2, 1, 3, 255};
    std::copy(indices, indices + 4, mixed.row(0));
    ASSERT_TRUE(write(mixed, folder / "mixed.png"));
    Parsed three = parse(folder / "mixed.png");
    EXPECT_EQ(*three.find("PLTE"), (Bytes{255, 255, 255, 0, 0, 0, 255, 0, 0}));
    EXPECT_EQ(three.inflated, (Bytes{0, 0, 1, 2, 2}));

    Image packed(5, 1, 4);
    packed.palette[0] = packed.palette[3] = {1, 1, 1, 0};
    packed.palette[1] = {2, 2, 2, 0};
    packed.row(0)[0] = 0x31;
    packed.row(0)[1] = 0x03;
    packed.row(0)[2] = 0x10;
    ASSERT_TRUE(write(packed, folder / "packed.png"));
    Parsed four = parse(folder / "packed.png");
    EXPECT_EQ(four.inflated, (Bytes{0, 0x01, 0x00, 0x10}));

    Image mono(9, 1, 1);
    mono.palette[0] = mono.palette[1] = {5, 5, 5, 0};
    ASSERT_TRUE(write(mono, folder / "mono.png"));
    EXPECT_EQ(parse(folder / "mono.png").find("PLTE")->size(), 6u);
}

TEST(PngWrite, RefusedDepthsAndFailedWrites)
{
    test::ScratchFolder folder;
    for (int bits : {16, 48}) {
        Image image(2, 2, bits);
        std::optional<CodecError> code;
        EXPECT_FALSE(write(image, folder / "deep.png", &code));
        EXPECT_EQ(code, CodecError::cannotWrite);
        EXPECT_TRUE(fs::exists(folder / "deep.png"));
        EXPECT_EQ(fs::file_size(folder / "deep.png"), 0u);
    }
    std::optional<CodecError> code;
    EXPECT_FALSE(write(Image(2, 2, 24), folder / "missing" / "a.png", &code));
    EXPECT_EQ(code, CodecError::cannotCreate);
    if (fs::exists("/dev/full")) {
        EXPECT_FALSE(write(Image(64, 64, 24), "/dev/full", &code));
        EXPECT_EQ(code, CodecError::noSpace);
    }
}

// zlib at level 9, memory level 9, as the writer used to compress.
std::size_t zlibLevel9Size(const Bytes& rows, int strategy)
{
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, 15, 9, strategy), Z_OK);
    Bytes out(deflateBound(&stream, static_cast<uLong>(rows.size())));
    stream.next_in = const_cast<std::uint8_t*>(rows.data());
    stream.avail_in = static_cast<uInt>(rows.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    deflateEnd(&stream);
    return stream.total_out;
}

// A smooth photo-like picture with sensor noise, and the same picture
// reduced to a palette: decoded exactly, never larger than zlib made it.
TEST(PngWrite, NoLargerThanZlibLevel9)
{
    test::ScratchFolder folder;
    std::mt19937 random(5);
    std::normal_distribution<double> noise(0, 2);
    auto sample = [&](double v) { return static_cast<std::uint8_t>(std::clamp(v + noise(random), 0.0, 255.0)); };
    Image photo(320, 240, 24);
    Image indexed(320, 240, 8);
    for (int i = 0; i < 256; ++i)
        indexed.palette[static_cast<std::size_t>(i)] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i / 2), 90, 0};
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x) {
            // One statement each: the noise must not depend on the order a
            // compiler evaluates arguments in.
            const std::uint8_t blue = sample(128 + 110 * std::cos(x / 90.0 - y / 35.0));
            const std::uint8_t green = sample(128 + 90 * std::sin((x + y) / 70.0));
            const std::uint8_t red = sample(128 + 100 * std::sin(x / 53.0) * std::cos(y / 41.0));
            fillRgb(photo, x, y, red, green, blue);
            indexed.row(y)[x] = photo.row(y)[3 * x + 1];
        }
    for (const auto& [image, strategy] : {std::pair{&photo, Z_FILTERED}, std::pair{&indexed, Z_DEFAULT_STRATEGY}}) {
        const fs::path path = folder / (std::to_string(image->bits) + ".png");
        ASSERT_TRUE(write(*image, path));
        test::Decoded decoded = test::decodePngFile(path);
        ASSERT_TRUE(decoded.ok);
        for (int y = 0; y < 240; ++y)
            for (int x = 0; x < 320; ++x) {
                const std::uint8_t* p = image->row(y) + (image->bits == 24 ? 3 * x : x);
                const RgbQuad& c = image->palette[p[0]];
                const test::Rgb expected = image->bits == 24 ? test::Rgb{p[2], p[1], p[0]}
                                                             : test::Rgb{c.rgbRed, c.rgbGreen, c.rgbBlue};
                ASSERT_EQ(decoded.at(x, y), expected) << image->bits << " bits at " << x << "," << y;
            }
        Parsed parsed = parse(path);
        EXPECT_LE(parsed.find("IDAT")->size(), zlibLevel9Size(parsed.inflated, strategy)) << image->bits << " bits";
    }
}

TEST(PngWrite, CompressorAllocationFailureFailsTheFile)
{
    test::ScratchFolder folder;
    libdeflate_set_memory_allocator([](std::size_t) -> void* { return nullptr; }, std::free);
    std::optional<CodecError> code;
    const bool written = write(Image(8, 8, 24), folder / "a.png", &code);
    libdeflate_set_memory_allocator(std::malloc, std::free);
    EXPECT_FALSE(written);
    EXPECT_EQ(code, CodecError::pngDeflate);
}

// Random pictures at every depth, read back by Pillow and by our reader.
TEST(PngWrite, PillowReadsWhatWasWritten)
{
    test::ScratchFolder folder;
    std::mt19937 random(11);
    std::vector<std::pair<std::string, std::vector<test::Rgb>>> written;
    int n = 0;
    for (int bits : {1, 2, 4, 8, 24}) {
        for (auto [w, h] : {std::pair{1, 1}, std::pair{37, 13}, std::pair{64, 9}}) {
            Image image(w, h, bits);
            for (int i = 0; i < 256; ++i)  // few distinct colours, so that merging happens
                image.palette[static_cast<std::size_t>(i)] = {static_cast<std::uint8_t>(random() % 3 * 100),
                                                               static_cast<std::uint8_t>(random() % 2 * 200), 40, 0};
            std::vector<test::Rgb> expected;
            for (int y = 0; y < h; ++y) {
                std::uint8_t* row = image.row(y);
                if (bits == 24) {
                    for (int x = 0; x < w; ++x) {
                        auto r = static_cast<std::uint8_t>(x * 5 + random() % 4), g = static_cast<std::uint8_t>(y * 9),
                             b = static_cast<std::uint8_t>(random());
                        fillRgb(image, x, y, r, g, b);
                        expected.push_back({r, g, b});
                    }
                    continue;
                }
                for (int x = 0; x < w; ++x) {
                    int index = static_cast<int>(random() % (1u << bits));
                    int shift = 8 - bits - (x * bits) % 8;
                    row[x * bits / 8] = static_cast<std::uint8_t>(row[x * bits / 8] | index << shift);
                    const RgbQuad& c = image.palette[static_cast<std::size_t>(index)];
                    expected.push_back({c.rgbRed, c.rgbGreen, c.rgbBlue});
                }
            }
            std::string name = std::string("w").append(std::to_string(n++)).append(".png");
            ASSERT_TRUE(write(image, folder / name));
            test::Decoded ours = test::decodePngFile(folder / name);
            ASSERT_TRUE(ours.ok);
            EXPECT_EQ(ours.rgb, expected) << name;
            written.push_back({name, expected});
        }
    }
    VRELK_REQUIRE_TOOLS(test::havePillow(), "Pillow");
    auto dumped = test::runCommand(
        "cd " + test::quoted(folder.path()) +
        " && " + test::python() + " -c 'import glob\nfrom PIL import Image\nfor f in glob.glob(\"w*.png\"):\n"
        "    open(f + \".rgb\", \"wb\").write(Image.open(f).convert(\"RGB\").tobytes())'");
    ASSERT_EQ(dumped.status, 0) << dumped.output;
    for (const auto& [name, expected] : written) {
        std::string rgb = test::readText(folder / (name + ".rgb"));
        ASSERT_EQ(rgb.size(), expected.size() * 3) << name;
        EXPECT_EQ(std::memcmp(rgb.data(), expected.data(), rgb.size()), 0) << name;
    }
}

}  // namespace
}  // namespace vrelk
