// vrelk as scripts drive it: file lists, folders walked, re-runs, the
// reductions only the command line has, completion and the language of
// its messages.
#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <set>

#include "image_builder.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::CliInstall;
using test::quoted;

std::string text(std::initializer_list<std::string_view> parts)
{
    std::string joined;
    for (std::string_view part : parts)
        joined += part;
    return joined;
}

// One pixel whose colour names the file, so that outputs swapped between
// inputs show.
void writeNumberedBmp(const fs::path& path, unsigned number)
{
    test::Bytes pixel{static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8), 99, 0};
    test::writeBytes(path, test::buildBmp({.width = 1, .height = 1, .pixels = pixel}));
}

void writeBmp(const fs::path& path, int width, int height)
{
    test::writeBytes(path, test::buildBmp({.width = width, .height = height,
                                           .pixels = test::patternRows24(width, height)}));
}

// Every file under `folder`, by its path relative to it, with its bytes.
std::map<std::string, std::string> filesUnder(const fs::path& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), folder).string()] = test::readText(entry.path());
    return files;
}

std::size_t count(const std::string& haystack, std::string_view needle)
{
    std::size_t found = 0;
    for (std::size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++found;
    return found;
}

// Names a shell loop mangles: spaces, newlines, bytes that are not UTF-8,
// quotes, a leading dash.
std::string awkwardStem(unsigned number)
{
    static const char* const kShapes[] = {"photo %04u", "line\nbreak %04u", "bad\xff\xfe %04u", "it's \"%04u\"",
                                          "-dash %04u", "tab\tand  spaces %04u", "写真 %04u"};
    char stem[64];
    std::snprintf(stem, sizeof stem, kShapes[number % std::size(kShapes)], number);
    return stem;
}

TEST(CliScripts, NulSeparatedListFromFindConvertsEveryNameOnceAsOneJobWould)
{
    constexpr unsigned kFiles = 2000;
    CliInstall cli("DrctCvt=0\r\n");
    fs::create_directories(cli.root() / "photos" / "more");
    std::set<std::string> expected;
    for (unsigned i = 0; i < kFiles; ++i) {
        const fs::path folder = cli.root() / "photos" / (i % 3 == 0 ? "more" : "");
        writeNumberedBmp(folder / (awkwardStem(i) + ".bmp"), i);
        expected.insert(awkwardStem(i) + ".png");
    }
    test::writeText(cli.root() / "photos" / "notes.txt", "not listed by find");

    const std::string find = "find photos -name '*.bmp' -print0";
    auto parallel = cli.runAfter(find, "-0 --files-from=- -f png -o out-j4 -j 4 --report=json");
    EXPECT_EQ(parallel.status, 0) << parallel.output.substr(0, 2000);
    EXPECT_EQ(count(parallel.output, "\"status\":\"converted\""), kFiles);
    auto single = cli.runAfter(find, "--null --files-from - -f png -o out-j1 -j 1 --quiet");
    EXPECT_EQ(single.status, 0) << single.output.substr(0, 2000);
    EXPECT_EQ(single.output, "");

    const auto written = filesUnder(cli.root() / "out-j4");
    std::set<std::string> names;
    for (const auto& [name, bytes] : written)
        names.insert(name);
    EXPECT_EQ(names, expected) << "each input once, under its own name, none numbered";
    EXPECT_TRUE(written == filesUnder(cli.root() / "out-j1")) << "names and bytes as with one job";
}

TEST(CliScripts, NewlineSeparatedListFileAndItsProblems)
{
    CliInstall cli("DrctCvt=1\r\n");
    writeBmp(cli.root() / "a b.bmp", 3, 2);
    writeBmp(cli.root() / "c.bmp", 2, 3);
    test::writeText(cli.root() / "list", "a b.bmp\n\nc.bmp\nmissing.bmp\n");
    const struct {
        const char* arguments;
        int status;
        const char* said;
    } cases[] = {
        {"--files-from=list -o out", 1, "vrelk: skipped missing.bmp: no such file\n"},
        {"--files-from=nosuch -o out", 2, "vrelk: cannot read the file list nosuch\n"},
        {"--files-from=bin -o out", 2, "vrelk: cannot read the file list bin\n"},
        {"-0 a.bmp", 2, "vrelk: --null needs --files-from\nUsage: vrelk [OPTION]... FILE...  (vrelk --help lists the "
                        "options)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        auto result = cli.run(c.arguments);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.output, c.said);
    }
    EXPECT_EQ(test::listFolder(cli.root() / "out"), (std::vector<std::string>{"a b.bmp", "c.bmp"}));
}

// With the names on standard input there is nobody to answer the format
// question: without -f every name is skipped as with no answer.
TEST(CliScripts, ListOnStandardInputIsNeverReadAsTheFormatAnswer)
{
    CliInstall cli("DrctCvt=0\r\n");
    writeBmp(cli.root() / "p.bmp", 2, 2);
    auto result = cli.runAfter("printf 'p.bmp\\0b.bmp\\0'", "-0 --files-from=- --report=json");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(count(result.output, "\"reason\":\"no format chosen\""), 2u) << result.output;
    EXPECT_EQ(test::listFolder(cli.root()), (std::vector<std::string>{"bin", "p.bmp", "temp"}));
}

// Three levels of folders, pictures and other files at each, a link back
// up the tree and one to a folder walked already.
struct Tree {
    std::set<std::string> pictures;  // relative, with the output's extension
    std::size_t others = 0;
};

Tree makeTree(const fs::path& root, unsigned files)
{
    Tree tree;
    for (unsigned i = 0; i < files; ++i) {
        fs::path folder = root;
        if (i % 5 != 0)
            folder /= "level1-" + std::to_string(i % 4);
        if (i % 3 != 0 && i % 5 != 0)
            folder /= "level 2-" + std::to_string(i % 2);
        if (i % 7 == 1)
            folder /= "level3";
        fs::create_directories(folder);
        const std::string stem = "p" + std::to_string(i);
        writeNumberedBmp(folder / (stem + ".bmp"), i);
        tree.pictures.insert(fs::relative(folder / (stem + ".png"), root).string());
        if (i % 50 == 0) {
            test::writeText(folder / (stem + ".txt"), "notes");
            ++tree.others;
        }
    }
    fs::create_directory_symlink("../..", root / "level1-1" / "level 2-1" / "loop");
    fs::create_directory_symlink("level1-2", root / "zz-again");
    return tree;
}

TEST(CliScripts, RecursiveRunReproducesTheTreeAndARerunWritesNothing)
{
    CliInstall cli("DrctCvt=1\r\n");
    const Tree tree = makeTree(cli.root() / "photos", 500);
    auto first = cli.run("-r -f png -j 3 -o out/web photos");
    EXPECT_EQ(first.status, 0) << first.output;
    EXPECT_EQ(first.output, text({"vrelk: ", std::to_string(tree.others),
                                  " files in the folders are not pictures: left alone\n"}));
    std::map<std::string, std::string> written = filesUnder(cli.root() / "out" / "web");
    std::set<std::string> names;
    for (const auto& [name, bytes] : written)
        names.insert(name);
    EXPECT_EQ(names, tree.pictures);

    auto again = cli.run("-r -f png --skip-existing --report=json -o out/web photos");
    EXPECT_EQ(again.status, 0) << again.output.substr(0, 2000);
    EXPECT_EQ(count(again.output, "\"reason\":\"output exists\""), tree.pictures.size());
    EXPECT_NE(again.output.find("vrelk: 500 files left out: their output exists\n"), std::string::npos);
    EXPECT_TRUE(filesUnder(cli.root() / "out" / "web") == written) << "nothing new written";
}

// Without an output folder each picture's output goes beside it; the
// output folder inside the tree walked is not walked.
TEST(CliScripts, RecursiveRunWithoutOutputFolderWritesBesideEachPicture)
{
    CliInstall cli("DrctCvt=1\r\n");
    fs::create_directories(cli.root() / "tree" / "sub");
    writeBmp(cli.root() / "tree" / "a.bmp", 2, 2);
    writeBmp(cli.root() / "tree" / "sub" / "b.bmp", 2, 2);
    auto beside = cli.run("-r -f png tree");
    EXPECT_EQ(beside.status, 0) << beside.output;
    EXPECT_TRUE(fs::exists(cli.root() / "tree" / "a.png"));
    EXPECT_TRUE(fs::exists(cli.root() / "tree" / "sub" / "b.png"));

    // Files named beside a folder go to the first named file's folder, as
    // they do without -r.
    fs::create_directories(cli.root() / "loose");
    writeBmp(cli.root() / "first.bmp", 2, 2);
    writeBmp(cli.root() / "loose" / "second.bmp", 2, 2);
    auto mixed = cli.run("-r -f gif tree first.bmp loose/second.bmp");
    EXPECT_EQ(mixed.status, 0) << mixed.output;
    EXPECT_TRUE(fs::exists(cli.root() / "tree" / "sub" / "b.gif"));
    EXPECT_TRUE(fs::exists(cli.root() / "first.gif"));
    EXPECT_TRUE(fs::exists(cli.root() / "second.gif"));

    fs::create_directories(cli.root() / "tree2" / "sub");
    writeBmp(cli.root() / "tree2" / "a.bmp", 2, 2);
    writeBmp(cli.root() / "tree2" / "sub" / "b.bmp", 2, 2);
    auto inside = cli.run("-r -f png -o tree2/sub tree2");
    EXPECT_EQ(inside.status, 0) << inside.output;
    EXPECT_EQ(test::listFolder(cli.root() / "tree2" / "sub"), (std::vector<std::string>{"a.png", "b.bmp"}))
        << "the output folder is not an input";
}

// --skip-existing looks for the name without +N in the folder the output
// would go to, also when the first input, which names that folder, is left
// out.
TEST(CliScripts, SkipExistingLeavesOutOnlyTakenNames)
{
    CliInstall cli("DrctCvt=2\r\n");
    fs::create_directories(cli.root() / "in");
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp"})
        writeBmp(cli.root() / "in" / name, 2, 2);
    test::writeText(cli.root() / "in" / "a.png", "taken");
    auto result = cli.run("--skip-existing in/a.bmp in/b.bmp in/c.bmp");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.output, "vrelk: 1 files left out: their output exists\n");
    EXPECT_EQ(test::listFolder(cli.root() / "in"),
              (std::vector<std::string>{"a.bmp", "a.png", "b.bmp", "b.png", "c.bmp", "c.png"}));
    EXPECT_EQ(test::readText(cli.root() / "in" / "a.png"), "taken");
    EXPECT_EQ(cli.run("--skip-existing in/c.bmp").status, 0);
    EXPECT_EQ(cli.run("in/c.bmp").status, 0);
    EXPECT_TRUE(fs::exists(cli.root() / "in" / "c+1.png")) << "without the option a taken name is numbered";
}

// --fit and --scale go through the one reduction: the same bytes as the
// side or the longer side they come to.
TEST(CliScripts, FitAndScaleGiveTheBytesOfTheSideTheyComeTo)
{
    const struct {
        const char* option;
        const char* same;
        std::pair<int, int> size;
    } cases[] = {
        {"--fit 40x40", "--width 40", {40, 20}},    {"--fit 300x50", "--height 50", {100, 50}},
        {"--fit 80x40", "--width 80", {80, 40}},    {"--scale 50%", "--long-side 100", {100, 50}},
        {"--scale 3", "--long-side 6", {6, 3}},     {"--scale 100%", "--no-resize", {200, 100}},
        {"--fit 500x500", "--no-resize", {200, 100}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option);
        CliInstall cli("DrctCvt=1\r\n");
        writeBmp(cli.root() / "wide.bmp", 200, 100);
        ASSERT_EQ(cli.run(text({"-f bmp -o a ", c.option, " wide.bmp"})).status, 0);
        ASSERT_EQ(cli.run(text({"-f bmp -o b ", c.same, " wide.bmp"})).status, 0);
        const std::string fitted = test::readText(cli.root() / "a" / "wide.bmp");
        ASSERT_GE(fitted.size(), 26u);
        EXPECT_EQ(fitted, test::readText(cli.root() / "b" / "wide.bmp"));
        int width = 0, height = 0;
        std::memcpy(&width, fitted.data() + 18, 4);
        std::memcpy(&height, fitted.data() + 22, 4);
        EXPECT_EQ(std::make_pair(width, height), c.size);
    }
}

TEST(CliScripts, OutputFolderIsMadeLikeMkdirP)
{
    CliInstall cli("DrctCvt=1\r\n");
    writeBmp(cli.root() / "a.bmp", 2, 2);
    auto made = cli.run("-o 'new/deeper/still' a.bmp");
    EXPECT_EQ(made.status, 0) << made.output;
    EXPECT_TRUE(fs::exists(cli.root() / "new" / "deeper" / "still" / "a.bmp"));
    auto blocked = cli.run("-o a.bmp/out a.bmp");
    EXPECT_EQ(blocked.status, 2);
    EXPECT_EQ(blocked.output.rfind("vrelk: cannot create the output folder ", 0), 0u) << blocked.output;
    EXPECT_EQ(cli.run("-o a.bmp b.bmp").status, 2) << "a file is no folder";
}

TEST(CliScripts, MistypedLongOptionSuggestsTheNearestOne)
{
    const struct {
        const char* typed;
        const char* said;
    } cases[] = {
        {"--fromat=png", "unknown option '--fromat=png'; did you mean --format?"},
        {"--qualty 5", "unknown option '--qualty'; did you mean --quality?"},
        {"--recursve", "unknown option '--recursve'; did you mean --recursive?"},
        {"--skip-exisitng", "unknown option '--skip-exisitng'; did you mean --skip-existing?"},
        {"--colour", "unknown option '--colour'"},
    };
    CliInstall cli("");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        auto result = cli.run(text({c.typed, " a.bmp"}));
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.output, text({"vrelk: ", c.said, "\nUsage: vrelk [OPTION]... FILE...  (vrelk --help lists "
                                                          "the options)\n"}));
    }
}

// The script bash loads, run in bash: what it offers for a word.
TEST(CliScripts, BashCompletionOffersTheOptionsOfTheHelp)
{
    CliInstall cli("");
    auto script = cli.run("--completion=bash > completion.bash");
    ASSERT_EQ(script.status, 0) << script.output;
    fs::create_directories(cli.root() / "folder");
    const auto offered = [&](const std::string& words) {
        return test::runCommand(text({"cd ", quoted(cli.root()), " && bash -c 'source ./completion.bash; COMP_WORDS=(",
                                      words, "); COMP_CWORD=$((${#COMP_WORDS[@]}-1)); _vrelk; echo ${COMPREPLY[*]}'"}))
            .output;
    };
    EXPECT_EQ(offered("vrelk --for"), "--format\n");
    EXPECT_EQ(offered("vrelk -f \"\""), "bmp png jpeg gif recode webp avif\n");
    EXPECT_EQ(offered("vrelk --sampling 1"), "1x1\n");
    EXPECT_EQ(offered("vrelk --report=j"), "json\n");
    EXPECT_EQ(offered("vrelk -o fo"), "folder\n");
    EXPECT_EQ(offered("vrelk --quality \"\""), "\n");

    const std::string help = cli.run("--help").output;
    const std::string every = offered("vrelk --");
    std::size_t listed = 0;
    for (std::size_t at = help.find("  --"); at != std::string::npos; at = help.find("  --", at + 1)) {
        const std::size_t end = help.find_first_of(" =,[\n", at + 2);
        const std::string name = help.substr(at + 2, end - at - 2);
        if (name == "--")
            continue;
        ++listed;
        EXPECT_NE(every.find(name), std::string::npos) << name;
    }
    EXPECT_GE(listed, 16u);
}

// English unless the locale says Japanese; the first of LC_ALL,
// LC_MESSAGES and LANG that is set decides.
TEST(CliScripts, MessagesFollowTheLocale)
{
    constexpr const char* kEnglish = "Error: No file was converted.\n";
    constexpr const char* kJapanese = "Error: ファイル変換に失敗しました。\n";
    const struct {
        const char* environment;
        const char* said;
    } cases[] = {
        {"LANG=C", kEnglish},
        {"LANG=ja_JP.UTF-8", kJapanese},
        {"LANG=en_US.UTF-8", kEnglish},
        {"LANG=ja", kJapanese},
        {"LANG=jam_JM", kEnglish},
        {"LC_MESSAGES=ja_JP.UTF-8", kJapanese},
        {"LC_ALL=C LANG=ja_JP.UTF-8", kEnglish},
        {"LC_ALL=ja_JP.eucJP LANG=C", kJapanese},
        {"env -u LANG -u LC_ALL -u LC_MESSAGES", kEnglish},
    };
    CliInstall cli("DrctCvt=1\r\n");
    test::writeText(cli.root() / "empty.bmp", "");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.environment);
        auto result = cli.run("--quiet empty.bmp", "", c.environment);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.output, c.said);
    }
}

// The total a folder walk finds is known before the first file is done.
TEST(CliScripts, ProgressLineCountsAgainstTheFilesFound)
{
    CliInstall cli("DrctCvt=1\r\n");
    fs::create_directories(cli.root() / "tree" / "sub");
    writeBmp(cli.root() / "tree" / "a.bmp", 2, 2);
    writeBmp(cli.root() / "tree" / "sub" / "b.bmp", 2, 2);
    writeBmp(cli.root() / "tree" / "sub" / "c.bmp", 2, 2);
    test::writeText(cli.root() / "tree" / "readme.txt", "words");
    const std::string command = text({"cd ", quoted(cli.root()), " && TMPDIR=", quoted(cli.temp()), " script -qec \"",
                                      cli.program().string(), " -f png -o out -r tree\" /dev/null"});
    auto result = test::runCommand(command);
    EXPECT_EQ(result.status, 0) << result.output;
    for (const char* shown : {"[1/3] a.bmp", "[2/3] b.bmp", "[3/3] c.bmp"})
        EXPECT_NE(result.output.find(shown), std::string::npos) << result.output;
}

}  // namespace
}  // namespace vrelk
