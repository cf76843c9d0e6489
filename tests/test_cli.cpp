// The command-line program as a user runs it.
#include <gtest/gtest.h>

#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::CliInstall;
using test::quoted;

TEST(Cli, EmptyFileBatchReportsNothingConverted)
{
    CliInstall cli("DrctCvt=1\r\n");
    test::writeText(cli.root() / "empty.bmp", "");
    auto result = cli.run(quoted(cli.root() / "empty.bmp"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, std::string("vrelk: skipped ") + (cli.root() / "empty.bmp").string() +
                                 ": empty or too short to be an image\nError: ファイル変換に失敗しました。\n");
    EXPECT_TRUE(test::listFolder(cli.temp()).empty());
    EXPECT_EQ(test::listFolder(cli.root()), (std::vector<std::string>{"bin", "empty.bmp", "temp"}));
}

TEST(Cli, RelativeInputIsTakenFromTheWorkingFolder)
{
    CliInstall cli("DrctCvt=2\r\n");
    test::writeText(cli.root() / "empty.png", "");
    auto result = cli.run("empty.png");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "vrelk: skipped empty.png: empty or too short to be an image\n"
                             "Error: ファイル変換に失敗しました。\n");
}

TEST(Cli, GoneInputFolderIsAnInvalidOutputFolder)
{
    CliInstall cli("DrctCvt=1\r\n");
    auto result = cli.run(quoted(cli.root() / "gone" / "a.png"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "Error: 出力フォルダが無効です。\n");
}

TEST(Cli, SubFolderIsCreatedAndRemovedWhenNothingConverted)
{
    CliInstall cli("DrctCvt=1\r\nMkDirAdd=1\r\nMkDirStr=Made\r\n");
    test::writeText(cli.root() / "x.gif", "GIF89a");
    auto result = cli.run(quoted(cli.root() / "x.gif"));
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(fs::exists(cli.root() / "Made"));

    fs::create_directory(cli.root() / "Made");
    result = cli.run(quoted(cli.root() / "x.gif"));
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(fs::is_directory(cli.root() / "Made"));
}

TEST(Cli, WithoutFilesPrintsTheSettingsAndLeavesTheFileAsItWas)
{
    CliInstall cli("Quality=80\r\n");
    auto result = cli.run("");
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.output.find("Settings file: " + (cli.bin() / "Vrelk.ini").string()), std::string::npos);
    EXPECT_NE(result.output.find("Quality=80\n"), std::string::npos);
    EXPECT_NE(result.output.find("DrctCvt=0\n"), std::string::npos);
    EXPECT_EQ(test::readText(cli.bin() / "Vrelk.ini"), "[SImg]\r\nQuality=80\r\n");
}

TEST(Cli, PerUserSettingsAreKeptEvenOnAFreshAccount)
{
    CliInstall cli("");
    fs::remove(cli.bin() / "Vrelk.ini");
    auto result = cli.run("");
    fs::path expected = cli.root() / ".config" / "Vrelk" / "Vrelk.ini";
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.output.find("Settings file: " + expected.string()), std::string::npos) << result.output;
    EXPECT_TRUE(fs::exists(expected)) << "the configuration home is made when it is missing";
}

TEST(Cli, ChoosingAtRunTimeReadsOneLetter)
{
    CliInstall cli("DrctCvt=0\r\n");
    test::writeText(cli.root() / "empty.bmp", "");
    std::string input = quoted(cli.root() / "empty.bmp");

    auto declined = cli.run(input, "x\\n");
    EXPECT_EQ(declined.status, 0);
    EXPECT_NE(declined.output.find("BMP(B)  PNG(P)  GIF(G)  JPEG(J)  JPEG変換(T)  WebP(W)"), std::string::npos);
    EXPECT_EQ(declined.output.find("Error"), std::string::npos);

    auto endOfInput = cli.run(input);
    EXPECT_EQ(endOfInput.status, 0);
    EXPECT_EQ(endOfInput.output.find("Error"), std::string::npos);

    auto chosen = cli.run(input, "p\\n");
    EXPECT_EQ(chosen.status, 1) << "the batch ran and converted nothing";
    EXPECT_NE(chosen.output.find("Error: ファイル変換に失敗しました。"), std::string::npos);
}

TEST(Cli, RenamedProgramRefusesToStart)
{
    CliInstall cli("DrctCvt=1\r\n");
    fs::rename(cli.program(), cli.bin() / "other");
    auto result = test::runCommand(quoted(cli.bin() / "other") + " x < /dev/null");
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.output, "Error: ファイル実行に失敗しました。\n");
}

}  // namespace
}  // namespace vrelk
