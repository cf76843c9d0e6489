// The HEIF reader against coded streams that disagree with their container
// (heif_hostile.py): each refused for its reason before a decoder allocates
// the picture the stream states, and the legitimate forms of the same
// streams decoded as their plain files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "codecs/heif.h"
#include "codec_test_support.h"
#include "picture/checked.h"
#include "pixel/lookup_tables.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// heif_hostile.py runs once for the suite; it needs heif-enc, avifenc and
// Pillow.
const fs::path& hostileFolder()
{
    static test::ScratchFolder folder;
    static const bool made = [] {
        const fs::path script = fs::path(__FILE__).parent_path() / "heif_hostile.py";
        auto run = test::runCommand(test::python() + " " + test::quoted(script) + " " + test::quoted(folder.path()));
        EXPECT_EQ(run.status, 0) << run.output;
        return run.status == 0;
    }();
    EXPECT_TRUE(made);
    return folder.path();
}

// The lines of one of the script's listings, as their words.
std::vector<std::vector<std::string>> listing(const char* name)
{
    std::vector<std::vector<std::string>> lines;
    std::ifstream in(hostileFolder() / name);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        lines.emplace_back(std::istream_iterator<std::string>(words), std::istream_iterator<std::string>());
    }
    return lines;
}

Result<Picture> readFile(const fs::path& path)
{
    static const auto tables = [] {
        auto built = std::make_unique<LookupTables>();
        buildLookupTables(*built);
        return built;
    }();
    const std::string text = test::readText(path);
    const Bytes bytes(text.begin(), text.end());
    return ReadHeif(ByteCursor({bytes.data(), bytes.size()}), *tables);
}

const std::map<std::string, CodecError> kReasons{{"damaged", CodecError::damaged},
                                                 {"truncated", CodecError::truncated},
                                                 {"unsupported", CodecError::unsupported}};

TEST(HeifStreams, StreamsThatDisagreeWithTheirContainerAreRefused)
{
    const auto lines = listing("hostile.txt");
    for (const auto& line : lines) {
        ASSERT_EQ(line.size(), 2u);
        Result<Picture> image = readFile(hostileFolder() / line[0]);
        ASSERT_FALSE(image.ok()) << line[0];
        EXPECT_EQ(image.error(), kReasons.at(line[1])) << line[0];
    }
    EXPECT_EQ(lines.size(), 25u);
}

// All of them through the program in one run under a 1 GB budget: its peak
// stays far below the smallest picture the streams state (16384x16384 or
// four tiles of 2048x2048), which libde265 and dav1d used to allocate.
TEST(HeifStreams, RefusedBeforeTheDecoderAllocates)
{
    VRELK_REQUIRE_TOOLS(fs::exists("/usr/bin/time"), "/usr/bin/time");
    test::CliInstall cli("DrctCvt=1\r\n");
    std::string files;
    const auto lines = listing("hostile.txt");
    for (const auto& line : lines)
        files += " " + test::quoted(hostileFolder() / line[0]);
    const auto run = test::runCommand("cd " + test::quoted(cli.root()) + " && HOME=" + test::quoted(cli.root()) +
                                      " XDG_CONFIG_HOME= /usr/bin/time -f 'peak %M' " + test::quoted(cli.program()) +
                                      " -f bmp -j 1 --max-memory=1G -o " + test::quoted(cli.root()) + files +
                                      " < /dev/null");
    EXPECT_EQ(run.status, 1) << run.output;
    const std::size_t peakAt = run.output.rfind("peak ");
    ASSERT_NE(peakAt, std::string::npos) << run.output;
    const long peakKb = std::strtol(run.output.c_str() + peakAt + 5, nullptr, 10);
    EXPECT_LT(peakKb, 200 * 1024) << run.output;
    std::size_t skipped = 0;
    for (std::size_t at = run.output.find(": skipped "); at != std::string::npos;
         at = run.output.find(": skipped ", at + 1))
        ++skipped;
    EXPECT_EQ(skipped, lines.size()) << run.output;
}

// The worst difference of a channel over the top left corner both share.
int topLeftDifference(const Picture& a, const Picture& b)
{
    const int width = std::min(a.width, b.width);
    const int height = std::min(a.height, b.height);
    auto row = [](const Picture& image, int y) {
        const auto stride = static_cast<std::size_t>(rowLayout(image.width, 1, 24).stride);
        return image.pixels.data() + static_cast<std::size_t>(image.height - 1 - y) * stride;
    };
    int worst = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < 3 * width; ++x)
            worst = std::max(worst, std::abs(row(a, y)[x] - row(b, y)[x]));
    return worst;
}

// A sequence parameter set repeated in the data, the sequence header in
// the av1C, a full sequence header whose key frame states its size, a
// conformance window that crops a padded picture, an identity derivation
// of the picture, and a thumbnail whose stream lies: each decodes as the
// plain file does; a clean random access picture in place of the IDR one
// is read.
TEST(HeifStreams, LegitimateFormsDecodeAsTheirPlainFile)
{
    const auto lines = listing("equivalent.txt");
    for (const auto& line : lines) {
        ASSERT_EQ(line.size(), 2u);
        Result<Picture> form = readFile(hostileFolder() / line[0]);
        Result<Picture> plain = readFile(hostileFolder() / line[1]);
        ASSERT_TRUE(form.ok()) << line[0] << ": " << form.error();
        ASSERT_TRUE(plain.ok()) << line[1] << ": " << plain.error();
        ASSERT_EQ(form->bits(), 24) << line[0];
        EXPECT_LE(form->width, plain->width) << line[0];
        EXPECT_LE(form->height, plain->height) << line[0];
        EXPECT_LE(topLeftDifference(*form, *plain), 1) << line[0];
    }
    EXPECT_EQ(lines.size(), 6u);

    Result<Picture> randomAccess = readFile(hostileFolder() / "heic_cra.heic");
    ASSERT_TRUE(randomAccess.ok()) << randomAccess.error();
    EXPECT_EQ(randomAccess->width, 64);
}

// Bit flips in the hostile and legitimate files alike: a clean failure or
// a picture within the cap, never a read outside the input (the sanitizer
// build runs this).
TEST(HeifStreams, DamagedStreamsFailCleanly)
{
    std::vector<std::string> names;
    for (const char* list : {"hostile.txt", "equivalent.txt"})
        for (const auto& line : listing(list))
            names.push_back(line[0]);
    std::uint32_t state = 7;
    for (const std::string& name : names) {
        const std::string whole = test::readText(hostileFolder() / name);
        for (int trial = 0; trial < 30; ++trial) {
            std::string flipped = whole;
            for (int n = 0; n < 2; ++n) {
                state = state * 1664525u + 1013904223u;
                flipped[state % flipped.size()] ^= static_cast<char>(1u << (state >> 29));
            }
            const fs::path path = hostileFolder() / "flipped.heif";
            test::writeText(path, flipped);
            Result<Picture> image = readFile(path);
            if (image.ok()) {
                EXPECT_TRUE(dimensionsAllowed(image->width, image->height)) << name;
            }
        }
    }
}

}  // namespace
}  // namespace vrelk
