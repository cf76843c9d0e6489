// The sub-folder name comes from a settings file anyone may edit: whatever
// it says, no output lands outside the output folder.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <unistd.h>

#include "app/batch_start.h"
#include "bmp_test_support.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::ScratchFolder;

std::set<fs::path> everythingUnder(const fs::path& root)
{
    std::set<fs::path> paths;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        paths.insert(entry.path());
    return paths;
}

struct SubFolderCase {
    std::string name;
    bool accepted;
};

// Run once per value: the outputs of the accepted ones inside the output
// folder, nothing at all made for the refused ones.
TEST(SubFolderSetting, NoValueWritesOutsideTheOutputFolder)
{
    ScratchFolder scratch;
    const fs::path output = scratch / "top" / "out";
    fs::create_directories(output);
    fs::create_directories(scratch / "elsewhere");
    // A name of our own, so that a stray output in "/" would be seen.
    const std::string inputName = "confined-" + std::to_string(::getpid()) + ".bmp";
    const fs::path input = scratch / inputName;
    test::writeBytes(input, testing::buildBmp({.width = 1, .height = 1, .pixels = {1, 2, 3, 0}}));
    const fs::path outputName = fs::path(inputName).replace_extension(".png");

    const std::vector<SubFolderCase> cases{
        {"/", false},
        {"..", false},
        {".", false},
        {"a/../..", false},
        {"../escape", false},
        {"../../escape", false},
        {"C:\\", false},
        {"C:", false},
        {"\\\\server\\share", false},
        {"..\\..\\escape", false},
        {(scratch / "elsewhere").string(), false},
        {"/tmp", false},
        {".. ", false},
        {"...", false},
        {"name ", false},
        {"a\nb", false},
        {"a*b", false},
        {std::string(300, 'x'), false},
        {std::string(256, 'x'), false},
        {std::string(255, 'x'), true},
        {"Output", true},
        {"..hidden", true},
        {"写真 2", true},
    };
    for (const SubFolderCase& c : cases) {
        const std::set<fs::path> before = everythingUnder(scratch.path());
        Settings settings;
        settings.outputType = kOutputPng;
        settings.OutDir = output;
        settings.MkDirAdd = true;
        settings.MkDirStr = c.name;
        std::vector<ErrorCode> shown;
        BatchHost host{settings, nullptr, [&](ErrorCode code) { shown.push_back(code); }};
        const std::vector<fs::path> inputs{input};
        BatchReport report;
        const bool started = StartBatch(inputs, host, &report);

        EXPECT_FALSE(fs::exists(fs::path("/") / outputName)) << c.name;
        std::set<fs::path> made;
        for (const fs::path& path : everythingUnder(scratch.path()))
            if (!before.contains(path))
                made.insert(path);
        if (c.accepted) {
            EXPECT_TRUE(started) << c.name;
            EXPECT_EQ(made, (std::set<fs::path>{output / c.name, output / c.name / outputName})) << c.name;
            fs::remove_all(output / c.name);
        } else {
            EXPECT_FALSE(started) << c.name;
            EXPECT_EQ(report.outcome, BatchOutcome::badSubFolder) << c.name;
            EXPECT_EQ(shown, std::vector<ErrorCode>{kErrorFolderCreate}) << c.name;
            EXPECT_TRUE(made.empty()) << c.name << ": " << (made.empty() ? "" : made.begin()->string());
        }
    }
}

// Two runs into the same new sub-folder: the one whose folder the other
// made a moment before uses it.
TEST(SubFolderSetting, AnExistingFolderIsUsedAndAFileOfThatNameRefused)
{
    ScratchFolder scratch;
    const fs::path input = scratch / "a.bmp";
    test::writeBytes(input, testing::buildBmp({.width = 1, .height = 1, .pixels = {1, 2, 3, 0}}));
    fs::create_directory(scratch / "Output");
    test::writeText(scratch / "Taken", "a file");

    struct Case {
        std::string name;
        bool converted;
    };
    for (const Case& c : std::vector<Case>{{"Output", true}, {"Taken", false}}) {
        Settings settings;
        settings.outputType = kOutputBmp;
        settings.MkDirAdd = true;
        settings.MkDirStr = c.name;
        BatchHost host{settings, nullptr, [](ErrorCode) {}};
        const std::vector<fs::path> inputs{input};
        BatchReport report;
        StartBatch(inputs, host, &report);
        EXPECT_EQ(report.outcome, c.converted ? BatchOutcome::done : BatchOutcome::folderNotCreated) << c.name;
        EXPECT_EQ(fs::exists(scratch / c.name / "a.bmp"), c.converted) << c.name;
    }
    EXPECT_EQ(test::readText(scratch / "Taken"), "a file");
}

}  // namespace
}  // namespace vrelk
