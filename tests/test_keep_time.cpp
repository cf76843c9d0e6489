// KeepTime: every output carries its input's modification time when the
// settings ask, and the time of its writing otherwise.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "image_builder.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;

// 2001-02-03 04:05:06.5 UTC, far from any test run's clock.
constexpr struct timespec kInputTime{981173106, 500000000};

void setModificationTime(const fs::path& file, struct timespec when)
{
    const struct timespec times[2] = {when, when};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0) << file;
}

struct timespec modificationTime(const fs::path& file)
{
    struct stat info{};
    EXPECT_EQ(::stat(file.c_str(), &info), 0) << file;
    return info.st_mtim;
}

TEST(KeepTime, EveryOutputTakesItsInputsTimeOnlyWhenAsked)
{
    const struct {
        const char* keys;
        const char* format;
        const char* input;
        const char* output;
        bool kept;
    } cases[] = {
        {"KeepTime=1\r\n", "bmp", "pic.bmp", "pic+1.bmp", true},
        {"KeepTime=1\r\n", "png", "pic.bmp", "pic.png", true},
        {"KeepTime=1\r\n", "jpeg", "pic.bmp", "pic.jpg", true},
        {"KeepTime=1\r\n", "gif", "pic.bmp", "pic.gif", true},
        {"KeepTime=1\r\n", "webp", "pic.bmp", "pic.webp", true},
        {"KeepTime=1\r\n", "recode", "photo.jpg", "photo+1.jpg", true},
        {"KeepTime=0\r\n", "png", "pic.bmp", "pic.png", false},
        {"KeepTime=0\r\n", "png --keep-time", "pic.bmp", "pic.png", true},
        {"", "jpeg", "pic.bmp", "pic.jpg", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.keys) + c.format);
        test::CliInstall cli(c.keys);
        test::writeBytes(cli.root() / "pic.bmp", test::buildBmp({.width = 9, .height = 7, .bits = 24, .sizeImage = 0,
                                                                 .pixelsPerMetre = 0,
                                                                 .pixels = test::patternRows24(9, 7)}));
        ASSERT_EQ(cli.run("--quiet -f jpeg -o . pic.bmp").status, 0);
        fs::rename(cli.root() / "pic.jpg", cli.root() / "photo.jpg");
        setModificationTime(cli.root() / c.input, kInputTime);

        const test::CommandResult run =
            cli.run(std::string("--report=json --quiet -f ") + c.format + " -o . " + c.input);
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_NE(run.output.find(c.kept ? "\"kept\":[\"time\"]}" : "\"kept\":[]}"), std::string::npos) << run.output;
        const struct timespec written = modificationTime(cli.root() / c.output);
        if (c.kept) {
            EXPECT_EQ(written.tv_sec, kInputTime.tv_sec);
            EXPECT_EQ(written.tv_nsec, kInputTime.tv_nsec);
        } else {
            EXPECT_GT(written.tv_sec, kInputTime.tv_sec + 365 * 24 * 3600);
        }
    }
}

}  // namespace
}  // namespace vrelk
