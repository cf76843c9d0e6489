// vrelk's options, per-file lines and exit status, through the real program.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>

#include "image_builder.h"
#include "jpeg_test_support.h"
#include "app/cli_posix.h"
#include "app/version.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::CliInstall;
using test::quoted;

// Joined by appending: GCC 12 at -O3 warns falsely (-Wrestrict) about
// "literal" + std::string.
std::string text(std::initializer_list<std::string_view> parts)
{
    std::string joined;
    for (std::string_view part : parts)
        joined += part;
    return joined;
}

std::vector<std::uint8_t> readBytes(const fs::path& path)
{
    std::string text = test::readText(path);
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

void writeBmp(const fs::path& path, int width, int height)
{
    test::writeBytes(path, test::buildBmp({.width = width, .height = height,
                                           .pixels = test::patternRows24(width, height)}));
}

std::pair<int, int> bmpSize(const std::vector<std::uint8_t>& bytes)
{
    if (bytes.size() < 26)
        return {0, 0};
    auto le32 = [&](std::size_t at) {
        return static_cast<int>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | bytes[at + 3] << 24);
    };
    return {le32(18), le32(22)};
}

// The first entry of the first quantisation table: 16 scaled by libjpeg's
// quality rule, so the quality can be read back from the file.
int firstQuantiser(const std::vector<std::uint8_t>& bytes)
{
    for (const test::Segment& segment : test::jpegSegments(bytes))
        if (segment.marker == 0xDB && segment.payload.size() > 1)
            return segment.payload[1];
    return -1;
}

struct OptionCase {
    const char* settings;
    const char* arguments;
    const char* output;  // relative to the install's root
    std::function<void(const std::vector<std::uint8_t>&)> check;
};

TEST(CliOptions, EveryOptionReachesTheConversion)
{
    auto size = [](int width, int height) {
        return [=](const std::vector<std::uint8_t>& out) { EXPECT_EQ(bmpSize(out), std::make_pair(width, height)); };
    };
    auto quantiser = [](int expected) {
        return [=](const std::vector<std::uint8_t>& out) { EXPECT_EQ(firstQuantiser(out), expected); };
    };
    auto sampling = [](int factor) {
        return [=](const std::vector<std::uint8_t>& out) {
            ASSERT_FALSE(test::samplingFactors(out).empty());
            EXPECT_EQ(test::samplingFactors(out).front(), std::make_pair(factor, factor));
        };
    };
    auto signature = [](std::uint8_t first) {
        return [=](const std::vector<std::uint8_t>& out) { ASSERT_FALSE(out.empty()); EXPECT_EQ(out[0], first); };
    };
    const OptionCase cases[] = {
        {"DrctCvt=1\r\n", "-f png wide.bmp", "wide.png", signature(0x89)},
        {"DrctCvt=2\r\n", "--format=bmp wide.bmp", "wide+1.bmp", size(200, 100)},
        {"DrctCvt=0\r\n", "-f jpeg wide.bmp", "wide.jpg", signature(0xFF)},
        {"Quality=50\r\n", "-f jpeg -q 90 wide.bmp", "wide.jpg", quantiser(3)},
        {"Quality=50\r\n", "-f jpeg --quality 10 wide.bmp", "wide.jpg", quantiser(80)},
        {"Sampling=0\r\n", "-f jpeg --sampling 1x1 wide.bmp", "wide.jpg", sampling(1)},
        {"Sampling=2\r\n", "-f jpeg --sampling 2x2 wide.bmp", "wide.jpg", sampling(2)},
        {"Limit=0\r\n", "-f jpeg -q 100 --max-kb 20 wide.bmp", "wide.jpg",
         [](const std::vector<std::uint8_t>& out) { EXPECT_LE(out.size(), 20u * 1024); EXPECT_GT(out.size(), 0u); }},
        {"Resize=0\r\n", "-f bmp --width 50 wide.bmp", "wide+1.bmp", size(50, 25)},
        {"Resize=0\r\n", "-f bmp --height 50 wide.bmp", "wide+1.bmp", size(100, 50)},
        {"Resize=0\r\n", "-f bmp --long-side 40 tall.bmp", "tall+1.bmp", size(20, 40)},
        {"Resize=1\r\nRszOpt=0\r\nRszSize=10\r\n", "-f bmp --long-side 40 wide.bmp", "wide+1.bmp", size(40, 20)},
        {"Resize=1\r\nRszOpt=0\r\nRszSize=10\r\n", "-f bmp --no-resize wide.bmp", "wide+1.bmp", size(200, 100)},
        {"", "-f bmp -o out wide.bmp", "out/wide.bmp", size(200, 100)},
        {"", "-f bmp --subfolder Made wide.bmp", "Made/wide.bmp", size(200, 100)},
        {"MkDirAdd=1\r\nMkDirStr=Other\r\n", "-f bmp --output=out --subfolder Made wide.bmp", "out/Made/wide.bmp",
         size(200, 100)},
    };
    for (const OptionCase& c : cases) {
        SCOPED_TRACE(c.arguments);
        CliInstall cli(c.settings);
        writeBmp(cli.root() / "wide.bmp", 200, 100);
        writeBmp(cli.root() / "tall.bmp", 100, 200);
        fs::create_directory(cli.root() / "out");
        auto result = cli.run(c.arguments);
        EXPECT_EQ(result.status, 0) << result.output;
        ASSERT_TRUE(fs::exists(cli.root() / c.output)) << result.output;
        c.check(readBytes(cli.root() / c.output));
    }
}

// A stored size the run would use is refused before any file, naming its
// key; an option that replaces it, or a run that does not use it, goes on.
TEST(CliOptions, StoredSizeOutOfRangeIsRefusedNamingItsKey)
{
    const struct {
        const char* settings;
        const char* arguments;
        const char* refusal;  // empty: the run converts
    } cases[] = {
        {"Limit=1\r\nLmtVal=0\r\n", "-f jpeg", "LmtVal holds 0, which is out of range (1 to 32767)"},
        {"Limit=1\r\nLmtVal=40000\r\n", "-f webp", "LmtVal holds 40000, which is out of range (1 to 32767)"},
        {"Limit=1\r\nLmtVal=-5\r\n", "-f avif", "LmtVal holds -5,"},
        {"Resize=1\r\nRszSize=0\r\n", "-f bmp", "RszSize holds 0, which is out of range (1 or more)"},
        {"Resize=1\r\nRszSize=-2147483648\r\n", "-f png", "RszSize holds -2147483648,"},
        {"Resize=1\r\nRszSize=2147483647\r\n", "-f png", ""},
        {"Limit=1\r\nLmtVal=0\r\n", "-f png", ""},
        {"Limit=0\r\nLmtVal=0\r\n", "-f jpeg", ""},
        {"Limit=1\r\nLmtVal=0\r\n", "-f jpeg --max-kb 50", ""},
        {"Resize=0\r\nRszSize=0\r\n", "-f bmp", ""},
        {"Resize=1\r\nRszSize=0\r\n", "-f bmp --long-side 40", ""},
        {"Resize=1\r\nRszSize=0\r\n", "-f bmp --no-resize", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(text({c.settings, c.arguments}));
        CliInstall cli(c.settings);
        writeBmp(cli.root() / "wide.bmp", 200, 100);
        fs::create_directory(cli.root() / "out");
        auto result = cli.run(text({c.arguments, " -o out wide.bmp"}));
        if (*c.refusal) {
            EXPECT_EQ(result.status, 2);
            EXPECT_EQ(result.output.rfind(text({"Error: The setting ", c.refusal}), 0), 0u) << result.output;
            EXPECT_TRUE(fs::is_empty(cli.root() / "out"));
        } else {
            EXPECT_EQ(result.status, 0) << result.output;
            EXPECT_FALSE(fs::is_empty(cli.root() / "out"));
        }
    }
}

TEST(CliOptions, NeverChangeTheSettingsFile)
{
    CliInstall cli("DrctCvt=1\r\nQuality=60\r\nResize=0\r\n");
    writeBmp(cli.root() / "wide.bmp", 20, 10);
    fs::create_directory(cli.root() / "out");
    ASSERT_EQ(cli.run("").status, 0);
    const std::string before = test::readText(cli.bin() / "Vrelk.ini");
    auto result = cli.run("-f jpeg -q 95 --sampling 1x1 --max-kb 50 --width 10 -o out --subfolder S -j 3 wide.bmp");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(fs::exists(cli.root() / "out" / "S" / "wide.jpg"));
    EXPECT_EQ(test::readText(cli.bin() / "Vrelk.ini"), before);
}

TEST(CliOptions, BadOptionsAndValuesExitWithStatus2AndWriteNothing)
{
    const char* bad[] = {"--bogus",        "-x",           "-q 0",        "-q 101",          "-q 9x",
                         "--quality=",     "-f tiff",      "--sampling 4x4", "--max-kb 0",   "--width -5",
                         "--height 25001", "--long-side", "-o wide.bmp", "--subfolder a/b", "--subfolder ..",
                         "-j 0",           "--jobs=many",  "--max-memory 0", "--max-memory 512K",
                         "--max-memory=1.5G", "--max-memory 2T", "--max-memory 99999999999G", "--max-memory=-1G",
                         "--fit 5",        "--fit 5x",     "--scale 0",   "--scale 50%%",    "-0",
                         "--files-from=",  "--completion=zsh"};
    for (const char* arguments : bad) {
        SCOPED_TRACE(arguments);
        CliInstall cli("DrctCvt=1\r\n");
        writeBmp(cli.root() / "wide.bmp", 20, 10);
        const auto filesBefore = test::listFolder(cli.root());
        auto result = cli.run(text({arguments, " wide.bmp"}));
        EXPECT_EQ(result.status, 2);
        EXPECT_NE(result.output.find("Usage: vrelk"), std::string::npos) << result.output;
        EXPECT_EQ(test::listFolder(cli.root()), filesBefore);
        EXPECT_EQ(test::readText(cli.bin() / "Vrelk.ini"), "[SImg]\r\nDrctCvt=1\r\n");
    }
}

CommandLine parse(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "vrelk");
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    return ParseCommandLine(static_cast<int>(arguments.size()), argv.data());
}

// The bounds each option holds, at both ends, and the words a value
// outside them is refused with.
TEST(CliOptions, EachNumberIsTakenWithinItsBoundsAndRefusedOutsideThem)
{
    const struct {
        std::string option;
        std::string lowest, highest, below, above;
        std::string problem;
    } cases[] = {
        {"--quality", "1", "100", "0", "101", "quality must be a number from 1 to 100"},
        {"--max-kb", "1", "32767", "0", "32768", "size target must be a number of KB from 1 to 32767"},
        {"--width", "1", "25000", "0", "25001", "size must be a number of pixels from 1 to 25000"},
        {"--long-side", "1", "25000", "-1", "25001", "size must be a number of pixels from 1 to 25000"},
        {"--jobs", "1", "256", "0", "257", "jobs must be a number from 1 to 256"},
        {"--scale", "1%", "100", "0%", "101%", "scale must be a percentage from 1 to 100"},
        {"--fit", "1x1", "25000x25000", "0x5", "5x25001", "box must be WIDTHxHEIGHT in pixels, each from 1 to 25000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option);
        for (const std::string& value : {c.lowest, c.highest}) {
            const CommandLine line = parse({c.option, value, "a.bmp"});
            EXPECT_EQ(line.action, CliAction::convert) << value << ": " << line.problem;
        }
        for (const std::string& value : {c.below, c.above}) {
            const CommandLine line = parse({c.option, value, "a.bmp"});
            EXPECT_EQ(line.action, CliAction::usageError);
            EXPECT_EQ(line.problem, text({c.problem, " (got '", value, "')"}));
        }
    }
    const CommandLine highest = parse({"-q", "100", "--max-kb", "32767", "--height", "25000", "--sampling", "1x1"});
    EXPECT_EQ(highest.options.quality, 100);
    EXPECT_EQ(highest.options.limitKilobytes, 32767);
    EXPECT_EQ(highest.options.resizeSize, 25000);
    EXPECT_EQ(highest.options.sampling, 2);
    EXPECT_EQ(parse({"--sampling", "2x2"}).options.sampling, 0);
    EXPECT_EQ(parse({"--sampling", "4x4"}).problem, "sampling must be 2x2 or 1x1 (got '4x4')");
}

// A run reduces by one side; two of them together are refused rather than
// the last one silently taken. The same one twice keeps the last value.
TEST(CliOptions, OneSideToReduceByAtATime)
{
    const struct {
        const char* arguments;
        int status;
    } cases[] = {
        {"--width 400 --height 100", 2},    {"--height=1 --long-side=2", 2},
        {"--long-side 5 --width 5", 2},     {"--width 5 --no-resize --height 5", 2},
        {"--width 50 --width 40", 0},       {"--long-side 30", 0},
        {"--fit 40x40 --width 5", 2},       {"--scale 50% --long-side 9", 2},
        {"--scale 50 --fit 9x9", 2},        {"--fit 9x9 --fit 40x40", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        CliInstall cli("DrctCvt=1\r\n");
        writeBmp(cli.root() / "wide.bmp", 200, 100);
        auto result = cli.run(text({"-f png ", c.arguments, " wide.bmp"}));
        EXPECT_EQ(result.status, c.status) << result.output;
        if (c.status == 2) {
            EXPECT_EQ(result.output, text({"vrelk: --width, --height, --long-side, --fit and --scale cannot be "
                                           "combined: give one of them\n",
                                           UsageLine(), "\n"}));
        }
        EXPECT_EQ(fs::exists(cli.root() / "wide.png"), c.status == 0);
    }
}

TEST(CliOptions, HelpNamesEveryOptionAndTheSettingsFile)
{
    CliInstall cli("");
    auto help = cli.run("--help");
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--help", "--version", "--format", "--quality", "--sampling", "--max-kb", "--width",
                               "--height", "--long-side", "--no-resize", "--output", "--subfolder", "--jobs",
                               "--max-memory", "--verbose", "--quiet", "--report=json", "--fit", "--scale",
                               "--recursive", "--files-from", "--null", "--skip-existing", "--completion=bash"})
        EXPECT_NE(help.output.find(option), std::string::npos) << option;
    EXPECT_NE(help.output.find(text({"Settings file: ", (cli.bin() / "Vrelk.ini").string()})), std::string::npos);
    auto version = cli.run("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output, "vrelk (Tessaly) " VRELK_VERSION "\n");
}

TEST(CliOptions, DoubleDashEndsTheOptions)
{
    CliInstall cli("DrctCvt=0\r\n");
    writeBmp(cli.root() / "-x.bmp", 4, 4);
    auto result = cli.run("-f png -- -x.bmp");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_TRUE(fs::exists(cli.root() / "-x.png"));
}

TEST(CliReport, SkippedFilesNameTheirReasonAndSetStatus1)
{
    CliInstall cli("DrctCvt=1\r\n");
    writeBmp(cli.root() / "good.bmp", 4, 4);
    test::writeText(cli.root() / "photo.xyz", "not an image at all");
    test::writeText(cli.root() / "empty.bmp", "");
    test::Bytes badCrc = test::pngFile({test::ihdr(1, 1, 8, 2), test::iend()});
    badCrc[29] ^= 1;
    test::writeBytes(cli.root() / "cut.png", badCrc);
    fs::create_directory(cli.root() / "folder");
    ASSERT_EQ(::mkfifo((cli.root() / "pipe").c_str(), 0600), 0);
    writeBmp(cli.root() / "big.bmp", 1024, 1024);  // 3 MB of picture
    const std::string files = "good.bmp photo.xyz empty.bmp missing.png cut.png folder pipe big.bmp";

    auto result = cli.run(text({"-v -j 4 --max-memory 2M -o good.bmp/out ", files}));
    EXPECT_EQ(result.status, 2) << "a file stands where the output folder would be made";
    result = cli.run(text({"-v -j 4 --max-memory 2M -o out ", files}));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, text({"vrelk: good.bmp -> ", (cli.root() / "out" / "good.bmp").string(),
                                   "\n"
                                   "vrelk: skipped photo.xyz: unrecognised format\n"
                                   "vrelk: skipped empty.bmp: empty or too short to be an image\n"
                                   "vrelk: skipped missing.png: no such file\n"
                                   "vrelk: skipped cut.png: cannot read: damaged file (a checksum does not match)\n"
                                   "vrelk: skipped folder: not a regular file\n"
                                   "vrelk: skipped pipe: not a regular file\n"
                                   "vrelk: skipped big.bmp: cannot read: out of memory\n"}))
        << "no progress line when standard error is not a terminal";

    auto quiet = cli.run(text({"--quiet ", files}));
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.output, "");
    EXPECT_EQ(cli.run("good.bmp").status, 0) << "nothing skipped";
}

// The lossless re-encode takes JPEG files only; any other picture says so
// rather than passing for a damaged JPEG, which stays one.
TEST(CliReport, RecodeSaysWhatItCannotTake)
{
    CliInstall cli("DrctCvt=0\r\n");
    writeBmp(cli.root() / "picture.bmp", 4, 4);
    test::writeBytes(cli.root() / "picture.png", test::pngFile({test::ihdr(1, 1, 8, 2), test::iend()}));
    test::writeText(cli.root() / "picture.gif", "GIF89a\x01\x00\x01\x00\x00\x00\x00;");
    test::writeText(cli.root() / "short.jpg", "\xFF");
    test::writeText(cli.root() / "cut.jpg", "\xFF\xD8\xFF\xE0\x00\x10JFIF");
    test::writeBytes(cli.root() / "photo.jpg", test::makeJpeg({}, std::vector<std::uint8_t>(16 * 16 * 3, 90)));
    const std::string notJpeg = ": not a JPEG: only JPEG files can be re-encoded losslessly\n";

    auto result = cli.run("-f recode picture.bmp picture.png picture.gif short.jpg cut.jpg photo.jpg");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, text({"vrelk: skipped picture.bmp", notJpeg, "vrelk: skipped picture.png", notJpeg,
                                   "vrelk: skipped picture.gif", notJpeg, "vrelk: skipped short.jpg", notJpeg,
                                   "vrelk: skipped cut.jpg: cannot read: damaged file\n"}));
    EXPECT_TRUE(fs::exists(cli.root() / "photo+1.jpg"));
}

// Noise, which no JPEG or WebP quality brings near 1 KB.
void writeNoiseBmp(const fs::path& path, int side)
{
    test::Bytes rows(static_cast<std::size_t>(side) * side * 3);
    std::uint32_t state = 12345;
    for (std::uint8_t& byte : rows) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    test::writeBytes(path, test::buildBmp({.width = side, .height = side, .pixels = rows}));
}

// A size target that no quality reaches still writes the smallest file
// tried, but says so for that file and in the exit status. The figures are
// checked against the file on the disk.
TEST(CliReport, MissedSizeTargetIsAWarningPerFile)
{
    const struct {
        const char* settings;
        const char* arguments;
        const char* output;
        const char* targetMet;  // in the JSON report
        int status;
    } cases[] = {
        {"", "-f jpeg --max-kb 1", "noise.jpg", "false", 1},
        {"", "-f webp --max-kb 1", "noise.webp", "false", 1},
        {"Limit=1\r\nLmtVal=1\r\n", "-f jpeg", "noise.jpg", "false", 1},
        {"", "-f jpeg --max-kb 32767", "noise.jpg", "true", 0},
        {"", "-f jpeg", "noise.jpg", "null", 0},
        {"", "-f png --max-kb 1", "noise.png", "null", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        CliInstall cli(c.settings);
        writeNoiseBmp(cli.root() / "noise.bmp", 256);
        auto quiet = cli.run(text({c.arguments, " --quiet noise.bmp"}));
        EXPECT_EQ(quiet.status, c.status);
        EXPECT_EQ(quiet.output, "");
        fs::remove(cli.root() / c.output);

        auto said = cli.run(text({c.arguments, " noise.bmp"}));
        EXPECT_EQ(said.status, c.status);
        ASSERT_TRUE(fs::exists(cli.root() / c.output)) << said.output;
        const std::uintmax_t bytes = fs::file_size(cli.root() / c.output);
        const std::string warning = text({"vrelk: noise.bmp: ", std::to_string((bytes + 1023) / 1024),
                                          " KB, above the 1 KB target\n"});
        EXPECT_EQ(said.output, c.status == 1 ? warning : "");
        fs::remove(cli.root() / c.output);

        auto json = cli.run(text({c.arguments, " --quiet --report=json noise.bmp"}));
        EXPECT_EQ(json.status, c.status);
        EXPECT_NE(json.output.find(text({",\"bytes\":", std::to_string(bytes), ",\"target_met\":", c.targetMet, ",\"kept\":[]}\n"})),
                  std::string::npos)
            << json.output;
    }
}

TEST(CliReport, ProgressLineOnlyOnATerminal)
{
    CliInstall cli("DrctCvt=1\r\n");
    writeBmp(cli.root() / "a.bmp", 4, 4);
    writeBmp(cli.root() / "b.bmp", 4, 4);
    // script(1) gives the program a terminal for its standard error.
    const std::string command = text({"cd ", quoted(cli.root()), " && TMPDIR=", quoted(cli.temp()), " script -qec \"",
                                      cli.program().string(), " -f png a.bmp b.bmp\" /dev/null"});
    auto result = test::runCommand(command);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("[1/2] a.bmp"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("[2/2] b.bmp"), std::string::npos) << result.output;
}

}  // namespace
}  // namespace vrelk
