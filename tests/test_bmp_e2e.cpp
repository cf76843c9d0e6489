// Runs the built command-line program on bitmap files.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bmp_test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

class BmpCommandLineTest : public testing::TempFolderTest {
protected:
    void SetUp() override
    {
        TempFolderTest::SetUp();
        program_ = file("vrelk");
        fs::copy_file(VRELK_CLI_PATH, program_);
        writeFile(file("Vrelk.ini"), bytesOf("[SImg]\r\nDrctCvt=1\r\n"));
        fs::create_directories(file("tmp"));
        fs::create_directories(file("images"));
    }

    static std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

    int run(const std::vector<fs::path>& inputs)
    {
        std::string command = "TMPDIR='" + file("tmp").string() + "' '" + program_.string() + "'";
        for (const fs::path& input : inputs)
            command += " '" + input.string() + "'";
        command += " </dev/null >/dev/null 2>&1";
        return std::system(command.c_str());
    }

    fs::path program_;
};

TEST_F(BmpCommandLineTest, ConvertsBesideTheInputUnderAFreeNameAndLeavesNoTemporaryFile)
{
    // A 4-bit input arrives as an 8-bit file; a 24-bit one is copied through.
    const fs::path four = file("images") / "four.bmp";
    writeFile(four, testing::buildBmp({.width = 3, .height = 1, .bits = 4,
                                       .palette = {test::BmpColour{1, 2, 3, 0}, test::BmpColour{4, 5, 6, 0}},
                                       .pixels = {0x10, 0x10, 0, 0}}));
    const fs::path colour = file("images") / "colour.bmp";
    const std::vector<std::uint8_t> pixels{1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};
    writeFile(colour, testing::buildBmp({.width = 2, .height = 2, .bits = 24, .pixels = pixels}));

    ASSERT_EQ(run({four, colour}), 0);

    // The output names are taken by the inputs themselves.
    const std::vector<std::uint8_t> eight = readFile(file("images") / "four+1.bmp");
    ASSERT_EQ(eight.size(), 14u + 40 + 1024 + 4);
    EXPECT_EQ(eight[28], 8);
    EXPECT_EQ(std::vector<std::uint8_t>(eight.begin() + 54, eight.begin() + 62),
              (std::vector<std::uint8_t>{1, 2, 3, 0, 4, 5, 6, 0}));
    EXPECT_EQ(std::vector<std::uint8_t>(eight.end() - 4, eight.end()), (std::vector<std::uint8_t>{1, 0, 1, 0}));

    const std::vector<std::uint8_t> copied = readFile(file("images") / "colour+1.bmp");
    ASSERT_EQ(copied.size(), 54u + pixels.size());
    EXPECT_EQ(std::vector<std::uint8_t>(copied.begin() + 54, copied.end()), pixels);

    ASSERT_EQ(run({colour}), 0);
    EXPECT_EQ(readFile(file("images") / "colour+2.bmp"), copied);
    EXPECT_TRUE(fs::is_empty(file("tmp")));
}

TEST_F(BmpCommandLineTest, RefusedFileProducesNothingAndLeavesNoTemporaryFile)
{
    const fs::path rle = file("images") / "rle.bmp";
    writeFile(rle, testing::buildBmp({.width = 2, .height = 1, .bits = 8, .compression = 1,
                                      .palette = std::vector<test::BmpColour>(256), .pixels = {2, 0, 0, 1}}));
    EXPECT_NE(run({rle}), 0);  // "nothing converted"
    EXPECT_FALSE(fs::exists(file("images") / "rle+1.bmp"));
    EXPECT_TRUE(fs::is_empty(file("tmp")));
}

}  // namespace
}  // namespace vrelk
