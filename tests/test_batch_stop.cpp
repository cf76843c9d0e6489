// A batch asked to stop: what it wrote is what the full run writes up to
// that point, nothing half-made stays behind, and the shell hears the count.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include "app/batch_start.h"
#include "convert/batch.h"
#include "image_builder.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::ScratchFolder;

std::map<std::string, std::string> folderContents(const fs::path& folder)
{
    std::map<std::string, std::string> contents;
    for (const std::string& name : test::listFolder(folder))
        contents[name] = test::readText(folder / name);
    return contents;
}

struct StopScene {
    ScratchFolder root;
    std::vector<fs::path> inputs;
    ConvertOptions options;

    StopScene()
    {
        setenv("TMPDIR", (root / "temp").c_str(), 1);
        fs::create_directory(root / "temp");
        // Two folders with the same names: the numbering shows the order.
        for (int i = 0; i < 12; ++i) {
            fs::path folder = root / (i % 2 == 0 ? "a" : "b");
            fs::create_directories(folder);
            std::string name = "p";
            name += std::to_string(i / 2);
            name += ".bmp";
            test::writeBytes(folder / name, test::buildBmp({.width = 30 + 7 * i, .height = 40 - i,
                                                            .pixels = test::patternRows24(30 + 7 * i, 40 - i)}));
            inputs.push_back(folder / name);
        }
        options.outputType = kOutputJpeg;
    }
    ~StopScene() { unsetenv("TMPDIR"); }

    BatchReport run(const std::string& out, unsigned jobs, const FileDone& fileDone = {},
                    const StopFlag* stop = nullptr)
    {
        fs::create_directory(root / out);
        options.outputFolder = root / out;
        return RunBatchInParallel(inputs, options, jobs, fileDone, stop);
    }
};

TEST(BatchStop, OutputsAreTheFullRunsUpToTheStop)
{
    struct Case {
        unsigned jobs;
        std::size_t stopAt;  // the file whose delivery asks to stop
    } cases[] = {{1, 0}, {1, 7}, {2, 0}, {2, 5}, {3, 4}, {4, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.jobs << " jobs, stop at " << c.stopAt);
        StopScene scene;
        BatchReport full = scene.run("full", 1);
        ASSERT_EQ(full.files.size(), scene.inputs.size());

        StopFlag stop{false};
        BatchReport stopped = scene.run("stopped", c.jobs,
                                        [&](const FileReport&, std::size_t index, std::size_t) {
                                            if (index == c.stopAt)
                                                stop = true;
                                        },
                                        &stop);
        EXPECT_TRUE(stopped.cancelled);
        // Files already started are finished; workers run at most two files
        // each ahead of delivery.
        ASSERT_GT(stopped.files.size(), c.stopAt);
        EXPECT_LE(stopped.files.size(), c.stopAt + 1 + 2 * c.jobs);
        EXPECT_LT(stopped.files.size(), scene.inputs.size());

        std::map<std::string, std::string> expected;
        const auto fullOutputs = folderContents(scene.root / "full");
        for (std::size_t i = 0; i < stopped.files.size(); ++i) {
            std::string name = full.files[i].output.filename().string();
            expected[name] = fullOutputs.at(name);
        }
        EXPECT_EQ(folderContents(scene.root / "stopped"), expected);
        EXPECT_EQ(convertedCount(stopped), expected.size());
        EXPECT_TRUE(test::listFolder(scene.root / "temp").empty()) << "no temporary file left";
    }
}

TEST(BatchStop, StopBeforeTheFirstFileReportsNoneConvertedInsteadOfTheFailure)
{
    StopScene scene;
    Settings settings;
    settings.outputType = kOutputJpeg;
    settings.OutDir = scene.root / "out";
    fs::create_directory(scene.root / "out");
    std::vector<ErrorCode> errors;
    std::vector<std::size_t> counts;
    BatchHost host{settings, {}, [&](ErrorCode code) { errors.push_back(code); }};
    for (unsigned jobs : {1u, 3u}) {
        host.run = [jobs](std::span<const platform::Path> inputs, const ConvertOptions& options) {
            StopFlag stop{true};
            return RunBatchInParallel(inputs, options, jobs, {}, &stop);
        };
        host.showCancelled = [&](std::size_t converted) { counts.push_back(converted); };
        EXPECT_TRUE(StartBatch(scene.inputs, host));
    }
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(counts, (std::vector<std::size_t>{0, 0}));
    EXPECT_TRUE(test::listFolder(scene.root / "out").empty());
}

// Plug-in reads of a parallel batch go in input order whichever file is
// read first, and a file that never asks the plug-ins holds no one up.
TEST(PluginTurns, EachFileWaitsForEveryEarlierOne)
{
    PluginTurns turns(4);
    std::vector<std::size_t> order;
    platform::Mutex orderLock;
    auto ask = [&](std::size_t file) {
        turns.await(file);
        std::lock_guard lock(orderLock);
        order.push_back(file);
    };
    std::vector<std::unique_ptr<platform::BackgroundWork>> readers;
    for (std::size_t file : {3u, 1u})
        readers.push_back(std::make_unique<platform::BackgroundWork>([&, file] {
            ask(file);
            turns.passed(file);
        }));
    turns.passed(2);  // read without the plug-ins
    ask(0);
    turns.passed(0);
    turns.passed(0);
    readers.clear();
    EXPECT_EQ(order, (std::vector<std::size_t>{0, 1, 3}));
}

}  // namespace
}  // namespace vrelk
