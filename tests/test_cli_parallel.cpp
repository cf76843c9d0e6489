// vrelk converting several files at once: the same names and bytes as one
// at a time, and no file lost between two programs writing one folder.
#include <gtest/gtest.h>

#include <map>

#include "image_builder.h"
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

void writeBmp(const fs::path& path, int width, int height)
{
    test::writeBytes(path, test::buildBmp({.width = width, .height = height,
                                           .pixels = test::patternRows24(width, height)}));
}

std::map<std::string, std::string> folderContents(const fs::path& folder)
{
    std::map<std::string, std::string> contents;
    for (const std::string& name : test::listFolder(folder))
        contents[name] = test::readText(folder / name);
    return contents;
}

TEST(CliParallel, SameNamesAndBytesAsOneJobAtATime)
{
    CliInstall cli("DrctCvt=0\r\n");
    std::string inputs;
    // Same names in different folders, and names already taken in the output folder.
    for (int i = 0; i < 12; ++i) {
        fs::path folder = cli.root() / text({"f", std::to_string(i % 4)});
        fs::create_directories(folder);
        fs::path input = folder / (i < 4 ? std::string("a.bmp") : text({"p", std::to_string(i), ".bmp"}));
        writeBmp(input, 40 + 37 * i, 300 - 11 * i);
        inputs += ' ' + quoted(input);
    }
    for (const char* out : {"one", "many"}) {
        fs::create_directory(cli.root() / out);
        test::writeText(cli.root() / out / "a.jpg", "taken");
        test::writeText(cli.root() / out / "p5.jpg", "taken");
    }
    auto one = cli.run(text({"-f jpeg --long-side 64 -q 80 -j 1 -o one", inputs}));
    auto many = cli.run(text({"-f jpeg --long-side 64 -q 80 -j 4 -o many", inputs}));
    ASSERT_EQ(one.status, 0) << one.output;
    ASSERT_EQ(many.status, 0) << many.output;
    auto expected = folderContents(cli.root() / "one");
    EXPECT_EQ(expected.size(), 14u);
    EXPECT_TRUE(expected.count("a+3.jpg") && expected.count("p5+1.jpg"));
    EXPECT_TRUE(folderContents(cli.root() / "many") == expected);
}

TEST(CliParallel, TwoProgramsIntoOneFolderLoseAndOverwriteNothing)
{
    CliInstall cli("DrctCvt=1\r\n");
    constexpr int kFiles = 10;
    std::string inputs;
    for (int i = 0; i < kFiles; ++i) {
        writeBmp(cli.root() / text({"img", std::to_string(i), ".bmp"}), 200 + i, 150);
        inputs += text({" img", std::to_string(i), ".bmp"});
    }
    fs::create_directory(cli.root() / "out");
    test::writeText(cli.root() / "out" / "img0.bmp", "someone else's");

    const std::string program = text({quoted(cli.program()), " -j 2 -o out", inputs, " 2>&1"});
    auto both = test::runCommand(text({"cd ", quoted(cli.root()), " && export TMPDIR=", quoted(cli.temp()), "; ", program,
                                       " & a=$!; ", program, " & b=$!; wait $a; first=$?; wait $b; exit $((first + $?))"}));
    ASSERT_EQ(both.status, 0) << both.output;

    EXPECT_EQ(test::readText(cli.root() / "out" / "img0.bmp"), "someone else's");
    EXPECT_EQ(test::listFolder(cli.root() / "out").size(), 2u * kFiles + 1);
    for (int i = 0; i < kFiles; ++i) {
        const std::string stem = text({"img", std::to_string(i)});
        const std::string plain = i == 0 ? "+2.bmp" : ".bmp";
        const std::string first = test::readText(cli.root() / "out" / (stem + plain));
        EXPECT_EQ(first.substr(0, 2), "BM") << stem;
        EXPECT_EQ(test::readText(cli.root() / "out" / (stem + "+1.bmp")), first) << stem;
    }
}

}  // namespace
}  // namespace vrelk
