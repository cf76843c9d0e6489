// The command-line program as a user runs it.
#include <gtest/gtest.h>

#include "image_builder.h"
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
                                 ": empty or too short to be an image\nError: No file was converted.\n");
    EXPECT_TRUE(test::listFolder(cli.temp()).empty());
    EXPECT_EQ(test::listFolder(cli.root()), (std::vector<std::string>{"bin", "empty.bmp", "temp"}));
}

// A name cannot drive the terminal or split a line: its control characters
// reach standard error escaped as `ls -b` shows them.
TEST(Cli, ControlCharactersInNamesAreEscaped)
{
    const struct {
        std::string name;
        std::string shown;
    } cases[] = {
        {"title\x1b]0;owned\a.bmp", "title\\033]0;owned\\a.bmp"},
        {"clear\x1b[2J.bmp", "clear\\033[2J.bmp"},
        {"two\nlines.bmp", "two\\nlines.bmp"},
        {"tab\tcr\r.bmp", "tab\\tcr\\r.bmp"},
        {"del\x7f\x01.bmp", "del\\177\\001.bmp"},
        {"back\\slash.bmp", "back\\\\slash.bmp"},
        {"caf\xc3\xa9 plain.bmp", "caf\xc3\xa9 plain.bmp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        CliInstall cli("DrctCvt=1\r\n");
        test::writeText(cli.root() / c.name, "");
        auto result = cli.run(quoted(cli.root() / c.name));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.output, "vrelk: skipped " + (cli.root() / c.shown).string() +
                                     ": empty or too short to be an image\nError: No file was converted.\n");
    }
}

TEST(Cli, RelativeInputIsTakenFromTheWorkingFolder)
{
    CliInstall cli("DrctCvt=2\r\n");
    test::writeText(cli.root() / "empty.png", "");
    auto result = cli.run("empty.png");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "vrelk: skipped empty.png: empty or too short to be an image\n"
                             "Error: No file was converted.\n");
}

TEST(Cli, GoneInputFolderIsAnInvalidOutputFolder)
{
    CliInstall cli("DrctCvt=1\r\n");
    auto result = cli.run(quoted(cli.root() / "gone" / "a.png"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, "Error: The output folder is not usable.\n");
}

// A mistyped name fails alone wherever it stands. The output folder is
// still the first argument's folder part, the current folder for a bare
// name, whether or not its file exists.
TEST(Cli, MissingFileIsSkippedAloneAndItsFolderPartStillChoosesTheOutputFolder)
{
    const struct {
        const char* arguments;
        const char* written;  // relative to the working folder
        std::vector<const char*> said;
    } cases[] = {
        {"-f png nosuch.png a.bmp", "a.png", {"vrelk: skipped nosuch.png: no such file\n"}},
        {"-f png -j 1 nosuch.png a.bmp", "a.png", {"vrelk: skipped nosuch.png: no such file\n"}},
        {"-f png a.bmp nosuch.png", "a.png", {"vrelk: skipped nosuch.png: no such file\n"}},
        {"-f png ./nosuch.png sub/b.bmp", "b.png", {"vrelk: skipped ./nosuch.png: no such file\n"}},
        {"-f png sub/nosuch.png a.bmp", "sub/a.png", {"vrelk: skipped sub/nosuch.png: no such file\n"}},
        {"-f png --report=json nosuch.png a.bmp", "a.png",
         {"{\"input\":\"nosuch.png\",\"status\":\"skipped\",\"output\":null,\"reason\":\"no such file\"",
          "{\"input\":\"a.bmp\",\"status\":\"converted\""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        CliInstall cli("DrctCvt=0\r\n");
        fs::create_directory(cli.root() / "sub");
        for (const char* name : {"a.bmp", "sub/b.bmp"})
            test::writeBytes(cli.root() / name,
                             test::buildBmp({.width = 3, .height = 2, .pixels = test::patternRows24(3, 2)}));
        auto result = cli.run(c.arguments);
        EXPECT_EQ(result.status, 1) << result.output;
        EXPECT_TRUE(fs::exists(cli.root() / c.written)) << result.output;
        for (const char* said : c.said)
            EXPECT_NE(result.output.find(said), std::string::npos) << said << "\n" << result.output;
        EXPECT_EQ(result.output.find("Error"), std::string::npos) << result.output;
    }
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

// Settings are kept in an existing XDG_CONFIG_HOME, or without one in
// ~/.config made inside an existing home; else vrelk converts on the
// defaults and makes nothing, least of all the home itself.
TEST(Cli, SettingsFolderIsNeverMadeOutsideAnExistingHome)
{
    const struct {
        const char* environment;  // "@" stands for the install's root
        const char* settingsFile;  // relative to the root; empty: none
    } cases[] = {
        {"env -u HOME", ""},
        {"HOME=", ""},
        {"HOME=@/nohome", ""},
        {"HOME=@/afile", ""},
        {"HOME=nohome", ""},
        {"HOME=@/nohome XDG_CONFIG_HOME=@/noconfig", ""},
        {"HOME=@/nohome XDG_CONFIG_HOME=@/config", "config/Vrelk/Vrelk.ini"},
        {"HOME=@/home XDG_CONFIG_HOME=@/noconfig", ""},
        {"HOME=@/home XDG_CONFIG_HOME=relative", "home/.config/Vrelk/Vrelk.ini"},
        {"HOME=@/home", "home/.config/Vrelk/Vrelk.ini"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.environment);
        CliInstall cli("");
        fs::remove(cli.bin() / "Vrelk.ini");
        fs::create_directory(cli.root() / "config");
        fs::create_directory(cli.root() / "home");
        test::writeText(cli.root() / "afile", "");
        test::writeBytes(cli.root() / "a.bmp",
                         test::buildBmp({.width = 3, .height = 2, .pixels = test::patternRows24(3, 2)}));
        std::string environment = c.environment;
        for (std::size_t at = environment.find('@'); at != std::string::npos; at = environment.find('@'))
            environment.replace(at, 1, cli.root().string());

        auto listing = cli.run("", "", environment);
        EXPECT_EQ(listing.status, 0) << listing.output;
        const std::string expected = *c.settingsFile ? (cli.root() / c.settingsFile).string()
                                                     : "none (no settings folder: the defaults apply and nothing "
                                                       "is written)";
        EXPECT_NE(listing.output.find("Settings file: " + expected + "\n"), std::string::npos) << listing.output;
        EXPECT_NE(listing.output.find("Quality=75\n"), std::string::npos) << listing.output;
        auto converted = cli.run("-f png a.bmp", "", environment);
        EXPECT_EQ(converted.status, 0) << converted.output;

        std::vector<std::string> made{"a.bmp", "a.png", "afile", "bin", "config", "home", "temp"};
        EXPECT_EQ(test::listFolder(cli.root()), made);
        EXPECT_EQ(test::listFolder(cli.bin()), std::vector<std::string>{"vrelk"});
        EXPECT_EQ(fs::exists(cli.root() / "config" / "Vrelk"), std::string(c.settingsFile).rfind("config", 0) == 0);
        EXPECT_EQ(fs::exists(cli.root() / "home" / ".config"), std::string(c.settingsFile).rfind("home", 0) == 0);
        if (*c.settingsFile) {
            EXPECT_TRUE(fs::is_regular_file(cli.root() / c.settingsFile));
        }
    }
}

TEST(Cli, ChoosingAtRunTimeReadsOneLetter)
{
    CliInstall cli("DrctCvt=0\r\n");
    test::writeText(cli.root() / "empty.bmp", "");
    std::string input = quoted(cli.root() / "empty.bmp");

    auto declined = cli.run(input, "x\\n");
    EXPECT_EQ(declined.status, 1) << "nothing was converted";
    EXPECT_NE(declined.output.find("BMP(B)  PNG(P)  GIF(G)  JPEG(J)  JPEG変換(T)  WebP(W)  AVIF(A)"), std::string::npos);
    EXPECT_EQ(declined.output.find("Error"), std::string::npos);

    auto endOfInput = cli.run(input);
    EXPECT_EQ(endOfInput.status, 1) << "nothing was converted";
    EXPECT_EQ(endOfInput.output.find("Error"), std::string::npos);

    auto chosen = cli.run(input, "p\\n");
    EXPECT_EQ(chosen.status, 1) << "the batch ran and converted nothing";
    EXPECT_NE(chosen.output.find("Error: No file was converted."), std::string::npos);
}

// A declined question, or none answered (a cron job without -f), converts
// nothing: every file is skipped as such, and the exit status says so.
TEST(Cli, NoFormatChosenSkipsEveryFile)
{
    const std::string prompt = "BMP(B)  PNG(P)  GIF(G)  JPEG(J)  JPEG変換(T)  WebP(W)  AVIF(A)  \n> ";
    const std::string lines = "vrelk: skipped a.bmp: no format chosen\nvrelk: skipped b c.bmp: no format chosen\n";
    const std::string json = "{\"input\":\"a.bmp\",\"status\":\"skipped\",\"output\":null,\"reason\":\"no format "
                             "chosen\",\"width\":null,\"height\":null,\"bytes\":null,\"target_met\":null,\"kept\":null}\n";
    const struct {
        const char* options;
        const char* answer;  // none: standard input is empty
        std::string output;
    } cases[] = {
        {"", "x\\n", prompt + lines},
        {"", "", prompt + "\n" + lines},
        {"", "\\n", prompt + lines},
        {"--quiet", "", prompt + "\n"},
        {"--quiet --report=json", "", prompt + "\n" + json},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.options) + " answer '" + c.answer + "'");
        CliInstall cli("DrctCvt=0\r\n");
        for (const char* name : {"a.bmp", "b c.bmp"})
            test::writeBytes(cli.root() / name,
                             test::buildBmp({.width = 3, .height = 2, .pixels = test::patternRows24(3, 2)}));
        const auto before = test::listFolder(cli.root());
        auto result = cli.run(std::string(c.options) + " a.bmp 'b c.bmp'", c.answer);
        EXPECT_EQ(result.status, 1);
        if (std::string(c.options).find("json") != std::string::npos) {
            EXPECT_EQ(result.output.substr(0, c.output.size()), c.output);
            EXPECT_NE(result.output.find("{\"input\":\"b c.bmp\",\"status\":\"skipped\""), std::string::npos)
                << result.output;
        } else {
            EXPECT_EQ(result.output, c.output);
        }
        EXPECT_EQ(test::listFolder(cli.root()), before);
    }
}

TEST(Cli, RenamedProgramRefusesToStart)
{
    CliInstall cli("DrctCvt=1\r\n");
    fs::rename(cli.program(), cli.bin() / "other");
    auto result = test::runCommand(quoted(cli.bin() / "other") + " x < /dev/null");
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.output, "Error: The program cannot start.\n");
}

}  // namespace
}  // namespace vrelk
