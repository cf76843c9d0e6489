// WebP against libwebp's own tools: what the reader makes of files from
// cwebp, img2webp, Pillow and of lossless files written bit by bit, what
// cwebp, dwebp and Pillow make of the writer's files, and hostile input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

#include "codec_test_support.h"
#include "codecs/webp.h"
#include "picture/checked.h"
#include "pixel/lookup_tables.h"
#include "platform/worker_slots.h"
#include "platform/picture_cores.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::quoted;

constexpr const char* kPython = "/usr/bin/python3";

bool haveTools()
{
    for (const char* tool : {kPython, "/usr/bin/cwebp", "/usr/bin/dwebp", "/usr/bin/img2webp", "/usr/bin/webpmux"})
        if (!fs::exists(tool))
            return false;
    return true;
}

fs::path fixtureScript() { return fs::path(__FILE__).parent_path() / "webp_fixtures.py"; }
fs::path paletteScript() { return fs::path(__FILE__).parent_path() / "vp8l_fixtures.py"; }

const LookupTables& tables()
{
    static const auto built = [] {
        auto made = std::make_unique<LookupTables>();
        buildLookupTables(*made);
        return made;
    }();
    return *built;
}

std::vector<std::uint8_t> readBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A binary PPM as width, height and rows of RGB, top row first.
struct Rgb {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> samples;
};

Rgb readPpm(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int maximum = 0;
    Rgb picture;
    in >> magic >> picture.width >> picture.height >> maximum;
    in.get();
    picture.samples.resize(static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height) * 3);
    in.read(reinterpret_cast<char*>(picture.samples.data()), static_cast<std::streamsize>(picture.samples.size()));
    return picture;
}

// The decoded image's bottom-up BGR rows as top-down RGB.
Rgb asRgb(const Picture& image)
{
    Rgb picture{image.width, image.height, {}};
    const auto stride = static_cast<std::size_t>(rowLayout(picture.width, 1, 24).stride);
    for (int y = picture.height - 1; y >= 0; --y) {
        const std::uint8_t* row = image.pixels.data() + static_cast<std::size_t>(y) * stride;
        for (int x = 0; x < picture.width; ++x)
            for (int c = 2; c >= 0; --c)
                picture.samples.push_back(row[3 * x + c]);
    }
    return picture;
}

int largestDifference(const Rgb& a, const Rgb& b)
{
    if (a.width != b.width || a.height != b.height || a.samples.size() != b.samples.size())
        return 256;
    int largest = 0;
    for (std::size_t i = 0; i < a.samples.size(); ++i)
        largest = std::max(largest, std::abs(int{a.samples[i]} - int{b.samples[i]}));
    return largest;
}

class WebpFixtures : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!haveTools())
            return;
        folder_ = new test::ScratchFolder;
        for (const fs::path& script : {fixtureScript(), paletteScript()}) {
            made_ = test::runCommand(std::string(kPython) + " " + quoted(script) + " " + quoted(folder_->path()));
            if (made_.status != 0)
                return;
        }
    }
    static void TearDownTestSuite()
    {
        delete folder_;
        folder_ = nullptr;
    }
    void SetUp() override
    {
        VRELK_REQUIRE_TOOLS(haveTools(), "Python with Pillow and libwebp's tools");
        ASSERT_EQ(made_.status, 0) << made_.output;
    }
    static fs::path at(const std::string& name) { return folder_->path() / name; }

    static inline test::ScratchFolder* folder_ = nullptr;
    static inline test::CommandResult made_;
};

TEST_F(WebpFixtures, EachEncodersFileReadsAsDwebpDecodesItOverWhite)
{
    // Alpha is blended through the blend table, so a blended sample may lie
    // one away from the exactly rounded reference.
    const char* cases[] = {"cwebp_lossy",     "cwebp_lossy_alpha", "cwebp_lossless",  "cwebp_lossless_alpha",
                           "cwebp_odd_alpha", "cwebp_one_pixel",   "pil_lossy_alpha", "pil_lossless",
                           "img2webp_anim"};
    for (const char* name : cases) {
        Result<Picture> image = test::readThrough(at(std::string(name) + ".webp"),
                                                   [](ByteCursor in) { return ReadWebp(in, tables()); });
        ASSERT_TRUE(image) << name << ": " << image.error();
        EXPECT_EQ(image->bits(), 24) << name;
        EXPECT_LE(largestDifference(asRgb(*image), readPpm(at(std::string(name) + ".ppm"))), 1) << name;
    }
}

// Lossless pictures whose palette indices run past the palette, packed 1,
// 2, 4 and 8 to a byte, with and without declared alpha, as stills in
// every container and as an animation's first frame: each sample is
// dwebp's.
TEST_F(WebpFixtures, PaletteIndicesPastThePaletteReadExactlyAsDwebpShowsThem)
{
    std::ifstream manifest(at("vp8l_manifest.txt"));
    int files = 0;
    std::string name;
    Rgb reference;
    while (manifest >> name >> reference.width >> reference.height) {
        Result<Picture> image = test::readThrough(at(name + ".webp"),
                                                   [](ByteCursor in) { return ReadWebp(in, tables()); });
        ASSERT_TRUE(image) << name << ": " << image.error();
        reference.samples = readBytes(at(name + ".rgb"));
        EXPECT_EQ(largestDifference(asRgb(*image), reference), 0) << name;
        ++files;
    }
    EXPECT_EQ(files, 6 * 2 * 5);
}

TEST_F(WebpFixtures, WriterMatchesCwebpInSizeAndPsnrAndItsFilesReadInDwebpAndPillow)
{
    test::CliInstall cli("");
    fs::copy_file(at("photo.png"), cli.root() / "photo.png");
    for (int quality : {30, 75, 95}) {
        const std::string q = std::to_string(quality);
        const fs::path ours = cli.root() / ("q" + q + ".webp");
        const fs::path theirs = cli.root() / ("cwebp" + q + ".webp");
        auto run = cli.run("-f webp -q " + q + " photo.png");
        ASSERT_EQ(run.status, 0) << run.output;
        fs::rename(cli.root() / "photo.webp", ours);
        ASSERT_EQ(test::runCommand("cwebp -quiet -q " + q + " " + quoted(at("photo.png")) + " -o " + quoted(theirs)).status, 0);

        auto compared = test::runCommand(std::string(kPython) + " " + quoted(fixtureScript()) + " compare " +
                                         quoted(at("photo.png")) + " " + quoted(ours) + " " + quoted(theirs));
        ASSERT_EQ(compared.status, 0) << compared.output;
        std::istringstream figures(compared.output);
        double ourSize = 0, theirSize = 0, ourPsnr = 0, theirPsnr = 0;
        figures >> ourSize >> theirSize >> ourPsnr >> theirPsnr;
        EXPECT_NEAR(ourSize / theirSize, 1.0, 0.02) << "quality " << quality;
        EXPECT_NEAR(ourPsnr / theirPsnr, 1.0, 0.02) << "quality " << quality;
    }
}

TEST_F(WebpFixtures, SizeTargetKeepsTheHighestFittingQualityOfTheJpegSearchOrder)
{
    Result<Picture> photo = test::readThrough(at("cwebp_lossless.webp"),
                                               [](ByteCursor in) { return ReadWebp(in, tables()); });
    ASSERT_TRUE(photo);
    const ImageView view{photo->width, photo->height, 24, &photo->palette,
                         {photo->pixels.data(), photo->pixels.size()}};
    test::ScratchFolder out;
    // Every quality's size, then targets between them: the written file is
    // the highest quality at or under the target, or quality 1.
    std::vector<std::size_t> lengths(101);
    for (int q = 1; q <= 100; q += 33) {
        ASSERT_TRUE(WriteWebp(view, out / "q.webp", q));
        lengths[static_cast<std::size_t>(q)] = fs::file_size(out / "q.webp");
    }
    const struct {
        std::int64_t limit;
        std::int32_t written;
    } cases[] = {
        {static_cast<std::int64_t>(lengths[100]), 100},
        {1, 1},
    };
    for (const auto& c : cases) {
        SizeSearchRecord record;
        ASSERT_TRUE(WriteWebpWithByteLimit(view, out / "limited.webp", c.limit, nullptr, &record));
        EXPECT_EQ(record.writtenQuality, c.written) << c.limit;
        if (c.written > 1) {
            EXPECT_LE(static_cast<std::int64_t>(fs::file_size(out / "limited.webp")), c.limit);
        }
    }
    SizeSearchRecord middle;
    const auto target = static_cast<std::int64_t>((lengths[34] + lengths[67]) / 2);
    ASSERT_TRUE(WriteWebpWithByteLimit(view, out / "middle.webp", target, nullptr, &middle));
    EXPECT_LE(static_cast<std::int64_t>(fs::file_size(out / "middle.webp")), target);
    EXPECT_EQ(middle.qualitiesTried.front(), 100);
    EXPECT_LE(middle.qualitiesTried.size(), 7u);
    // One quality higher does not fit, and the search saw it.
    EXPECT_NE(std::find(middle.qualitiesTried.begin(), middle.qualitiesTried.end(), middle.writtenQuality + 1),
              middle.qualitiesTried.end());
    ASSERT_TRUE(WriteWebp(view, out / "above.webp", middle.writtenQuality + 1));
    EXPECT_GT(static_cast<std::int64_t>(fs::file_size(out / "above.webp")), target);
}

TEST(Webp, TwelveMegapixelPhotoAimedAt200KbFitsAndDecodes)
{
    VRELK_REQUIRE_TOOLS(haveTools(), "Python with Pillow and libwebp's tools");
    test::CliInstall cli("Limit=1\r\nLmtVal=200\r\n");
    const std::string make =
        std::string(kPython) + " -c \"import numpy as np; from PIL import Image; r = np.random.default_rng(7); "
        "y, x = np.mgrid[0:3000, 0:4000]; b = np.stack([128 + 100 * np.sin(x / 97.0 + y / 131.0), "
        "128 + 90 * np.cos(x / 71.0 - y / 113.0), 128 + 80 * np.sin((x + y) / 57.0)], -1); "
        "Image.fromarray(np.clip(b + r.normal(0, 6, b.shape), 0, 255).astype(np.uint8)).save('big.jpg', quality=92)\"";
    ASSERT_EQ(test::runCommand("cd " + quoted(cli.root()) + " && " + make).status, 0);
    auto run = cli.run("-f webp big.jpg");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_LE(fs::file_size(cli.root() / "big.webp"), 200u * 1024u);
    EXPECT_EQ(test::runCommand("dwebp -quiet " + quoted(cli.root() / "big.webp") + " -o /dev/null").status, 0);
}

// ---- Hostile files ------------------------------------------------------------

void putLE(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::vector<std::uint8_t> riff(const std::vector<std::uint8_t>& chunks)
{
    std::vector<std::uint8_t> out{'R', 'I', 'F', 'F'};
    putLE(out, static_cast<std::uint32_t>(chunks.size() + 4), 4);
    out.insert(out.end(), {'W', 'E', 'B', 'P'});
    out.insert(out.end(), chunks.begin(), chunks.end());
    return out;
}

std::vector<std::uint8_t> chunk(const char* type, const std::vector<std::uint8_t>& data)
{
    std::vector<std::uint8_t> out(type, type + 4);
    putLE(out, static_cast<std::uint32_t>(data.size()), 4);
    out.insert(out.end(), data.begin(), data.end());
    if (data.size() % 2)
        out.push_back(0);
    return out;
}

// An extended header: flags, then canvas width and height less one.
std::vector<std::uint8_t> vp8x(std::uint8_t flags, std::uint32_t width, std::uint32_t height)
{
    std::vector<std::uint8_t> data{flags, 0, 0, 0};
    putLE(data, width - 1, 3);
    putLE(data, height - 1, 3);
    return chunk("VP8X", data);
}

// A lossless bitstream header claiming a size, with no picture behind it.
std::vector<std::uint8_t> vp8lHeader(std::uint32_t width, std::uint32_t height)
{
    std::vector<std::uint8_t> data{0x2F};
    putLE(data, (width - 1) | (height - 1) << 14, 4);
    return chunk("VP8L", data);
}

TEST(Webp, HostileFilesFailCleanly)
{
    const std::vector<std::uint8_t> animHeader{0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
        CodecError expected;
    } cases[] = {
        {"signature only", riff({}), CodecError::damaged},
        {"not a WebP", {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'}, CodecError::notThisFormat},
        {"lossless 16384 square with no data", riff(vp8lHeader(16384, 16384)), CodecError::damaged},
        {"extended canvas unlike its picture", riff([&] {
             auto c = vp8x(0x10, 300, 8);
             auto body = vp8lHeader(16384, 8);
             c.insert(c.end(), body.begin(), body.end());
             return c;
         }()),
         CodecError::damaged},
        {"animation canvas past the size cap with no frames", riff([&] {
             auto c = vp8x(0x02, 30000, 30000);
             auto anim = chunk("ANIM", animHeader);
             c.insert(c.end(), anim.begin(), anim.end());
             return c;
         }()),
         CodecError::tooLarge},
        {"animation with no frames", riff([&] {
             auto c = vp8x(0x02, 64, 64);
             auto anim = chunk("ANIM", animHeader);
             c.insert(c.end(), anim.begin(), anim.end());
             return c;
         }()),
         CodecError::damaged},
    };
    for (const auto& c : cases) {
        Result<Picture> image = ReadWebp(ByteCursor(c.bytes), tables());
        ASSERT_FALSE(image) << c.name;
        EXPECT_EQ(image.error(), c.expected) << c.name;
    }
}

TEST_F(WebpFixtures, TruncatedAndBitFlippedFilesFailOrDecodeWithinBounds)
{
    // Under the sanitizers every cut and every flipped byte either fails or
    // gives a picture of the header's size; nothing reads outside a buffer.
    for (const char* name : {"cwebp_lossy_alpha", "cwebp_lossless_alpha", "img2webp_anim", "pil_lossy_alpha"}) {
        const std::vector<std::uint8_t> whole = readBytes(at(std::string(name) + ".webp"));
        for (std::size_t length = 0; length < whole.size(); length += 1 + length / 4) {
            const std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
            Result<Picture> image = ReadWebp(ByteCursor(cut), tables());
            EXPECT_FALSE(image) << name << " cut to " << length;
        }
        for (std::size_t at = 12; at < whole.size(); at += 13) {
            std::vector<std::uint8_t> flipped = whole;
            flipped[at] ^= static_cast<std::uint8_t>(1u << (at % 8));
            Result<Picture> image = ReadWebp(ByteCursor(flipped), tables());
            if (image) {
                EXPECT_TRUE(dimensionsAllowed(image->width, image->height)) << name << " flip at " << at;
            }
        }
    }
}

TEST(Webp, PicturesWiderOrHigherThanWebpAllowsAreRefusedUnwritten)
{
    test::ScratchFolder out;
    const Palette palette{};
    const std::pair<std::int32_t, std::int32_t> sizes[] = {{16384, 1}, {1, 16384}};
    for (auto [width, height] : sizes) {
        std::vector<std::uint8_t> pixels(static_cast<std::size_t>(rowLayout(width, height, 24).imageSize));
        const ImageView view{width, height, 24, &palette, pixels};
        const Status plain = WriteWebp(view, out / "wide.webp", 75);
        const Status limited = WriteWebpWithByteLimit(view, out / "wide.webp", 1024);
        ASSERT_FALSE(plain);
        ASSERT_FALSE(limited);
        EXPECT_EQ(plain.error(), CodecError::unsupported) << width << "x" << height;
        EXPECT_EQ(limited.error(), CodecError::unsupported) << width << "x" << height;
        EXPECT_FALSE(fs::exists(out / "wide.webp"));
    }
}

TEST(Webp, QualitiesOutsideTheRangeFollowTheJpegRule)
{
    const std::pair<std::int32_t, std::int32_t> cases[] = {{-5, 1}, {0, 1}, {1, 1}, {100, 100}, {101, 75}, {150, 75}};
    for (auto [given, used] : cases)
        EXPECT_EQ(webpQuality(given), used) << given;
}

// The size search runs its WebP trials two at a time, each through a view
// of one shared picture, on guesses at the next quality: whatever the
// guesses, the qualities tried and the file are those of one plain write
// per trial, the colour profile counted against the limit.
TEST(WebpSizeSearch, TrialsRunAheadChangeNothing)
{
    test::ScratchFolder out;
    const Palette palette{};
    const std::int32_t width = 96, height = 80;
    const auto stride = static_cast<std::size_t>(rowLayout(width, 1, 24).stride);
    std::vector<std::uint8_t> pixels(stride * height);
    std::uint32_t grain = 7;
    for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y)
        for (std::size_t x = 0; x < 3 * static_cast<std::size_t>(width); ++x) {
            grain = grain * 1664525u + 1013904223u;
            pixels[y * stride + x] = static_cast<std::uint8_t>(x * 2 / 3 + y + x % 3 * 40 + (grain >> 27));
        }
    const std::vector<std::uint8_t> profile(700, 0x5A);
    for (bool withProfile : {false, true}) {
        ImageView view{width, height, 24, &palette, pixels};
        if (withProfile)
            view.iccProfile = profile;
        std::map<std::int32_t, std::vector<std::uint8_t>> files;
        auto fileAt = [&](std::int32_t quality) -> const std::vector<std::uint8_t>& {
            if (!files.contains(quality)) {
                EXPECT_TRUE(WriteWebp(view, out / "plain.webp", quality));
                files[quality] = readBytes(out / "plain.webp");
                fs::remove(out / "plain.webp");
            }
            return files[quality];
        };
        std::vector<std::int64_t> limits{10, std::int64_t{1} << 30};
        for (std::int32_t quality : {5, 30, 60, 90}) {
            const auto length = static_cast<std::int64_t>(fileAt(quality).size());
            limits.insert(limits.end(), {length, length - 1});
        }
        for (std::int64_t limit : limits) {
            platform::WorkerSlots none(0);
            SizeSearchRecord plain;
            ASSERT_TRUE(WriteWebpWithByteLimit(view, out / "kept.webp", limit, &none, &plain));
            fs::remove(out / "kept.webp");
            // What fitted lies at and below the quality written; quality 1 is
            // written either way.
            for (std::int32_t quality : plain.qualitiesTried) {
                if (quality > 1) {
                    EXPECT_EQ(fileAt(quality).size() <= static_cast<std::size_t>(limit), quality <= plain.writtenQuality)
                        << "limit " << limit << " quality " << quality;
                }
            }
            SizeSearchRecord guessed;
            ASSERT_TRUE(WriteWebpWithByteLimit(view, out / "kept.webp", limit, nullptr, &guessed));
            EXPECT_EQ(guessed.qualitiesTried, plain.qualitiesTried) << "limit " << limit;
            EXPECT_EQ(guessed.writtenQuality, plain.writtenQuality) << "limit " << limit;
            EXPECT_EQ(readBytes(out / "kept.webp"), fileAt(plain.writtenQuality))
                << "limit " << limit << (withProfile ? " with a profile" : "");
            fs::remove(out / "kept.webp");
        }
    }
}

// Large pictures are converted to libwebp's planes in bands on the lent
// cores: the same file as one conversion, for odd and even sides.
TEST(WebpWrite, SameBytesWhenConvertedInBands)
{
    test::ScratchFolder out;
    const Palette palette{};
    for (const auto& [width, height] : {std::pair{1001, 701}, std::pair{1200, 700}, std::pair{1201, 1001}}) {
        const auto stride = static_cast<std::size_t>(rowLayout(width, 1, 24).stride);
        std::vector<std::uint8_t> pixels(stride * static_cast<std::size_t>(height));
        std::uint32_t grain = 11;
        for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y)
            for (std::size_t x = 0; x < 3 * static_cast<std::size_t>(width); ++x) {
                grain = grain * 1664525u + 1013904223u;
                pixels[y * stride + x] = static_cast<std::uint8_t>(x / 5 + y / 3 + x % 3 * 60 + (grain >> 26));
            }
        const ImageView view{width, height, 24, &palette, pixels};
        ASSERT_TRUE(WriteWebp(view, out / "alone.webp", 40));
        for (int cores : {2, 3}) {
            platform::WorkerSlots slots(cores);
            const platform::HeldWorkerSlot own(&slots);
            const platform::PictureCoresScope lent({&slots, false});
            ASSERT_TRUE(WriteWebp(view, out / "lent.webp", 40));
            EXPECT_EQ(readBytes(out / "lent.webp"), readBytes(out / "alone.webp"))
                << width << " x " << height << " on " << cores << " cores";
            fs::remove(out / "lent.webp");
        }
        fs::remove(out / "alone.webp");
    }
}

}  // namespace
}  // namespace vrelk
