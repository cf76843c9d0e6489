// The AVIF writer against libheif's and libavif's own tools: what
// heif-convert and avifdec make of its files, its size and fidelity beside
// heif-enc's at the same quality, the size target beside JPEG's search, and
// the worker slots its encoder threads borrow.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <sstream>

#include "codec_test_support.h"
#include "codecs/avif.h"
#include "codecs/jpeg.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::quoted;

bool haveTools()
{
    for (const char* tool : {"/usr/bin/heif-convert", "/usr/bin/heif-enc", "/usr/bin/avifdec"})
        if (!fs::exists(tool))
            return false;
    return test::havePillow();
}

fs::path fixtureScript() { return fs::path(__FILE__).parent_path() / "avif_fixtures.py"; }

std::string fixtures(const std::string& arguments)
{
    test::CommandResult run = test::runCommand(test::python() + " " + quoted(fixtureScript()) + " " + arguments);
    EXPECT_EQ(run.status, 0) << run.output;
    return run.output;
}

class AvifFixtures : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!haveTools() || !CanWriteAvif())
            return;
        cli_ = new test::CliInstall("");
        made_ = test::runCommand(test::python() + " " + quoted(fixtureScript()) + " make " + quoted(cli_->root()));
    }
    static void TearDownTestSuite()
    {
        delete cli_;
        cli_ = nullptr;
    }
    void SetUp() override
    {
        VRELK_REQUIRE_TOOLS(haveTools(), "Pillow, heif-convert, heif-enc and avifdec");
        ASSERT_TRUE(CanWriteAvif()) << "libheif has no AV1 encoder";
        ASSERT_EQ(made_.status, 0) << made_.output;
    }
    static fs::path at(const std::string& name) { return cli_->root() / name; }

    // vrelk's file from NAME.png, renamed to `as`.
    static fs::path written(const std::string& name, const std::string& options, const std::string& as)
    {
        test::CommandResult run = cli_->run("-f avif " + options + " " + name + ".png");
        EXPECT_EQ(run.status, 0) << run.output;
        fs::rename(at(name + ".avif"), at(as));
        return at(as);
    }

    static inline test::CliInstall* cli_ = nullptr;
    static inline test::CommandResult made_;
};

TEST_F(AvifFixtures, HeifConvertAndAvifdecReadEveryShapeWeWrite)
{
    const struct {
        const char* name;
        int width, height;
        double leastPsnr;
        int greySpread;  // the most R, G and B of a pixel may differ
    } cases[] = {
        {"odd", 37, 23, 30, 255}, {"pixel", 1, 1, 30, 255}, {"grey", 121, 77, 30, 2},
        {"profile", 96, 64, 30, 255}, {"photo1", 640, 480, 30, 255},
    };
    for (const auto& c : cases) {
        const fs::path avif = written(c.name, "-q 75", std::string(c.name) + "-shapes.avif");
        std::istringstream lines(fixtures("decode " + quoted(at(std::string(c.name) + ".png")) + " " + quoted(avif)));
        int decoders = 0;
        std::string tool;
        int width = 0, height = 0, spread = 0, profileKept = 0;
        double psnr = 0;
        while (lines >> tool >> width >> height >> psnr >> spread >> profileKept) {
            ++decoders;
            EXPECT_EQ(width, c.width) << c.name << " " << tool;
            EXPECT_EQ(height, c.height) << c.name << " " << tool;
            EXPECT_GE(psnr, c.leastPsnr) << c.name << " " << tool;
            EXPECT_LE(spread, c.greySpread) << c.name << " " << tool;
            EXPECT_EQ(profileKept, 1) << c.name << " " << tool;
        }
        EXPECT_EQ(decoders, 2) << c.name;
    }
}

TEST_F(AvifFixtures, SizeAndPsnrWithinTwoPercentOfHeifEnc)
{
    for (const char* name : {"photo1", "photo2", "photo3", "screen"}) {
        for (int quality : {40, 75}) {
            const std::string q = std::to_string(quality);
            const fs::path ours = written(name, "-q " + q, std::string(name) + "-q" + q + ".avif");
            const fs::path theirs = at(std::string(name) + "-heif-enc" + q + ".avif");
            const std::string source = quoted(at(std::string(name) + ".png"));
            ASSERT_EQ(test::runCommand("heif-enc --avif -q " + q + " " + source + " -o " + quoted(theirs)).status, 0);
            std::istringstream figures(fixtures("compare " + source + " " + quoted(ours) + " " + quoted(theirs)));
            double ourSize = 0, theirSize = 0, ourPsnr = 0, theirPsnr = 0;
            figures >> ourSize >> theirSize >> ourPsnr >> theirPsnr;
            EXPECT_NEAR(ourSize / theirSize, 1.0, 0.02) << name << " quality " << quality;
            EXPECT_NEAR(ourPsnr / theirPsnr, 1.0, 0.02) << name << " quality " << quality;
        }
    }
}

// The writer makes its own 4:2:0 planes from the pixels; they are the ones
// libheif makes for heif-enc, odd edges and a lone pixel included, so the
// two files decode to the same pixels.
TEST_F(AvifFixtures, PlanesAreTheOnesHeifEncMakes)
{
    for (const char* name : {"odd", "pixel", "profile", "photo1", "screen"}) {
        const fs::path ours = written(name, "-q 60", std::string(name) + "-planes.avif");
        const fs::path theirs = at(std::string(name) + "-planes-heif-enc.avif");
        const std::string source = quoted(at(std::string(name) + ".png"));
        ASSERT_EQ(test::runCommand("heif-enc --avif -q 60 " + source + " -o " + quoted(theirs)).status, 0);
        EXPECT_EQ(fixtures("differ " + quoted(ours) + " " + quoted(theirs)), "0\n") << name;
    }
}

// A photo-like picture, waves and noise.
struct Photo {
    std::int32_t width, height;
    Palette palette{};
    std::vector<std::uint8_t> pixels;

    Photo(std::int32_t w, std::int32_t h) : width(w), height(h)
    {
        const auto stride = static_cast<std::size_t>(rowLayout(width, 1, 24).stride);
        pixels.resize(stride * static_cast<std::size_t>(height));
        std::uint32_t noise = 12345;
        for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y)
            for (std::size_t x = 0; x < static_cast<std::size_t>(width); ++x)
                for (std::size_t c = 0; c < 3; ++c) {
                    noise = noise * 1664525u + 1013904223u;
                    const double wave = 110 * std::sin(static_cast<double>(x * (c + 2)) / 97.0 + static_cast<double>(y) / 61.0);
                    pixels[y * stride + 3 * x + c] = static_cast<std::uint8_t>(128 + wave * 0.9 + (noise >> 28));
                }
    }
    ImageView view() const { return test::imageView(width, height, 24, palette, pixels); }
};

// The JPEG search's sketch lands on its boundary at once; AV1's sketch,
// walked to its own bracket, lands on it or a few levels below at low
// rates, from where the first trial aims the next.
TEST(AvifSizeTarget, FitsInFewEncodes)
{
    ASSERT_TRUE(CanWriteAvif());
    const Photo photo(1601, 1201);
    test::ScratchFolder out;
    const struct {
        std::int64_t kilobytes;
        std::size_t moreThanJpeg;
    } cases[] = {{40, 3}, {120, 0}, {400, 0}};
    for (const auto& [kilobytes, moreThanJpeg] : cases) {
        const std::int64_t limit = kilobytes * 1024;
        SizeSearchRecord avif, jpeg;
        ASSERT_TRUE(WriteAvifWithByteLimit(photo.view(), out / "limited.avif", limit, nullptr, &avif));
        ASSERT_TRUE(WriteJpegWithByteLimit(photo.view(), out / "limited.jpg", jpegEncoding(75, 0), limit, &jpeg));
        EXPECT_LE(static_cast<std::int64_t>(fs::file_size(out / "limited.avif")), limit) << kilobytes << " KB";
        // A quality asked for again is not encoded again.
        const auto encodes = [](const SizeSearchRecord& record) {
            return std::set<std::int32_t>(record.qualitiesTried.begin(), record.qualitiesTried.end()).size();
        };
        const auto listed = [](const SizeSearchRecord& record) {
            std::string text;
            for (std::int32_t quality : record.qualitiesTried)
                text += ' ' + std::to_string(quality);
            return text;
        };
        EXPECT_LE(encodes(avif), std::min<std::size_t>(encodes(jpeg) + moreThanJpeg, 5)) << kilobytes << " KB: AVIF levels" << listed(avif) << ", JPEG qualities"
                                                << listed(jpeg);
        EXPECT_GT(avif.writtenQuality, 1) << kilobytes << " KB";
        // The finest level fits nothing this small, so the search goes down.
        EXPECT_LT(avif.writtenQuality, 64) << kilobytes << " KB";
    }
    // A target nothing reaches gives the coarsest file all the same.
    SizeSearchRecord none;
    ASSERT_TRUE(WriteAvifWithByteLimit(photo.view(), out / "tiny.avif", 1, nullptr, &none));
    EXPECT_EQ(none.writtenQuality, 1);
    EXPECT_GT(fs::file_size(out / "tiny.avif"), 0u);
}

// The encoder's extra threads run on slots nobody holds and give every one
// back; a search's trials and their threads never outnumber the slots. The
// file is the same however many slots were free.
TEST(AvifWorkerSlots, EncoderThreadsBorrowOnlyFreeSlotsAndReturnThem)
{
    ASSERT_TRUE(CanWriteAvif());
    const Photo photo(401, 301);
    test::ScratchFolder out;
    const struct {
        int total;
        int held;  // by the run's busy workers, the caller among them
    } cases[] = {{1, 1}, {4, 1}, {4, 4}, {3, 2}};
    ASSERT_TRUE(WriteAvif(photo.view(), out / "alone.avif", 60));
    const std::string alone = test::readText(out / "alone.avif");
    for (const auto& c : cases) {
        for (bool limited : {false, true}) {
            platform::WorkerSlots slots(c.total);
            for (int i = 0; i < c.held; ++i)
                ASSERT_TRUE(slots.tryTake());
            const Status written = limited ? WriteAvifWithByteLimit(photo.view(), out / "a.avif", 10 * 1024, &slots)
                                           : WriteAvif(photo.view(), out / "a.avif", 60, &slots);
            ASSERT_TRUE(written);
            if (limited)
                EXPECT_LE(slots.peakEncodings(), c.total) << c.total << "/" << c.held;
            else {
                EXPECT_EQ(slots.peakEncodings(), c.total - c.held) << c.total << "/" << c.held;
                EXPECT_EQ(test::readText(out / "a.avif"), alone) << c.total << "/" << c.held;
            }
            int freeAfter = 0;
            while (slots.tryTake())
                ++freeAfter;
            EXPECT_EQ(freeAfter, c.total - c.held) << c.total << "/" << c.held << " " << limited;
        }
    }
}

TEST(Avif, QualitiesOutsideTheScaleAndEmptyPathsFailOrFallBackCleanly)
{
    ASSERT_TRUE(CanWriteAvif());
    const Palette palette{};
    const std::vector<std::uint8_t> pixels(rowLayout(8, 8, 24).imageSize, 90);
    const ImageView view = test::imageView(8, 8, 24, palette, pixels);
    test::ScratchFolder out;
    for (std::int32_t quality : {-5, 0, 101, 1000})
        EXPECT_TRUE(WriteAvif(view, out / "q.avif", quality)) << quality;
    ASSERT_TRUE(WriteAvif(view, out / "default.avif", 75));
    ASSERT_TRUE(WriteAvif(view, out / "above.avif", 101));
    EXPECT_EQ(test::readText(out / "above.avif"), test::readText(out / "default.avif"));
    EXPECT_EQ(WriteAvif(view, out / "missing" / "x.avif", 75).error(), CodecError::cannotCreate);
}

}  // namespace
}  // namespace vrelk
