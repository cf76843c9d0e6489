#include <gtest/gtest.h>

#include <cstdlib>

#include "bmp_test_support.h"
#include "codec_test_support.h"
#include "app/batch_start.h"
#include "convert/batch.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::ScratchFolder;

// Points the process's temporary folder at a scratch folder for one test.
class TempFolderOverride {
public:
    explicit TempFolderOverride(const fs::path& folder)
    {
        if (const char* old = std::getenv("TMPDIR"))
            saved_ = old;
        setenv("TMPDIR", folder.c_str(), 1);
    }
    ~TempFolderOverride()
    {
        if (saved_)
            setenv("TMPDIR", saved_->c_str(), 1);
        else
            unsetenv("TMPDIR");
    }

private:
    std::optional<std::string> saved_;
};

struct RecordingHost {
    Settings settings;
    std::vector<ErrorCode> shown;
    BatchHost host{settings, applyFolderChecks, [this](ErrorCode code) { shown.push_back(code); }};
};

TEST(MakeUniqueOutputPath, NumbersTakenNamesAndGivesUpAfter9999)
{
    ScratchFolder folder;
    fs::path path = folder / "photo.png";
    ASSERT_TRUE(MakeUniqueOutputPath(path, ".png"));
    EXPECT_EQ(path, folder / "photo.png");

    test::writeText(folder / "photo.png", "");
    ASSERT_TRUE(MakeUniqueOutputPath(path, ".png"));
    EXPECT_EQ(path, folder / "photo+1.png");

    test::writeText(folder / "photo+1.png", "");
    path = folder / "photo.png";
    ASSERT_TRUE(MakeUniqueOutputPath(path, ".png"));
    EXPECT_EQ(path, folder / "photo+2.png");

    for (int n = 2; n <= 9999; ++n)
        test::writeText(folder / ("photo+" + std::to_string(n) + ".png"), "");
    path = folder / "photo.png";
    EXPECT_FALSE(MakeUniqueOutputPath(path, ".png"));

    path = folder / "other.png";
    test::writeText(path, "");
    fs::create_directory(folder / "other+1.png");
    ASSERT_TRUE(MakeUniqueOutputPath(path, ".png"));
    EXPECT_EQ(path, folder / "other+2.png") << "a folder takes the name as well";
}

TEST(CopyNoOverwrite, LeavesAnExistingTargetAlone)
{
    ScratchFolder folder;
    test::writeText(folder / "from", "new");
    test::writeText(folder / "to", "old");
    EXPECT_EQ(platform::copyFileNoOverwrite(folder / "from", folder / "to"), platform::CopyResult::targetExists);
    EXPECT_EQ(test::readText(folder / "to"), "old");
    EXPECT_EQ(platform::copyFileNoOverwrite(folder / "from", folder / "fresh"), platform::CopyResult::copied);
    EXPECT_EQ(test::readText(folder / "fresh"), "new");
    EXPECT_EQ(platform::copyFileNoOverwrite(folder / "missing", folder / "x"), platform::CopyResult::failed);
    EXPECT_FALSE(fs::exists(folder / "x"));
}

// Another program takes the free name between the check and the copy.
platform::CopyResult copyLosingTheRace(const platform::Path& from, const platform::Path& to)
{
    static int calls = 0;
    if (++calls == 1) {
        test::writeText(to, "theirs");
        return platform::CopyResult::targetExists;
    }
    return platform::copyFileNoOverwrite(from, to);
}

TEST(DeliverOutput, NameTakenDuringTheCopyMovesOnToTheNextNumber)
{
    ScratchFolder folder;
    test::writeText(folder / "tmp1", "ours");
    test::writeText(folder / "photo.bmp", "older");
    fs::path written;
    EXPECT_FALSE(DeliverOutput(folder / "tmp1", folder / "photo.bmp", ".bmp", written, copyLosingTheRace));
    EXPECT_EQ(written, folder / "photo+2.bmp");
    EXPECT_EQ(test::readText(folder / "photo+1.bmp"), "theirs") << "the other program's file is kept";
    EXPECT_EQ(test::readText(folder / "photo+2.bmp"), "ours");
    EXPECT_EQ(test::readText(folder / "photo.bmp"), "older");

    auto failing = [](const platform::Path&, const platform::Path&) { return platform::CopyResult::failed; };
    std::optional<FileFailure> failed = DeliverOutput(folder / "tmp1", folder / "x.bmp", ".bmp", written, failing);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->reason, SkipReason::copyFailed);
}

TEST(RunBatch, ReportsEveryFileWithItsOutputOrItsReason)
{
    ScratchFolder folder;
    TempFolderOverride temp(folder.path());
    test::writeBytes(folder / "a.bmp", testing::buildBmp({.width = 1, .height = 1, .pixels = {1, 2, 3, 0}}));
    test::writeText(folder / "short.bmp", "B");
    test::writeText(folder / "text.bmp", "not an image");
    test::writeBytes(folder / "rle.bmp", testing::buildBmp({.width = 1, .height = 1, .bits = 8, .compression = 1,
                                                            .pixels = {1, 0, 0, 1}}));
    std::vector<fs::path> inputs{folder / "a.bmp", folder / "missing.bmp", folder / "short.bmp", folder / "text.bmp",
                                 folder / "rle.bmp"};
    ConvertOptions options;
    options.outputType = kOutputPng;
    std::vector<std::size_t> seen;
    BatchReport report = RunBatch(inputs, options, [&](const FileReport&, std::size_t index, std::size_t count) {
        EXPECT_EQ(count, inputs.size());
        seen.push_back(index);
    });
    EXPECT_EQ(report.outcome, BatchOutcome::done);
    EXPECT_EQ(seen, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
    ASSERT_EQ(report.files.size(), inputs.size());
    EXPECT_TRUE(report.files[0].converted());
    EXPECT_EQ(report.files[0].output, folder / "a.png");
    const struct {
        std::size_t index;
        SkipReason reason;
        std::optional<CodecError> error;
    } skipped[] = {
        {1, SkipReason::missing, std::nullopt},
        {2, SkipReason::tooShort, std::nullopt},
        {3, SkipReason::unrecognised, std::nullopt},
        {4, SkipReason::readFailed, CodecError::unsupported},
    };
    for (const auto& s : skipped) {
        const FileReport& file = report.files[s.index];
        ASSERT_TRUE(file.failure) << s.index;
        EXPECT_EQ(file.failure->reason, s.reason) << s.index;
        EXPECT_EQ(file.failure->error, s.error) << s.index;
        EXPECT_TRUE(file.output.empty());
    }
}

TEST(RunBatch, EmptyFileConvertsNothingAndLeavesNoTemporaryFile)
{
    ScratchFolder folder;
    fs::create_directory(folder / "temp");
    TempFolderOverride temp(folder / "temp");
    test::writeText(folder / "empty.bmp", "");
    RecordingHost recorder;

    std::vector<fs::path> inputs{folder / "empty.bmp"};
    EXPECT_TRUE(StartBatch(inputs, recorder.host));
    EXPECT_EQ(recorder.shown, std::vector<ErrorCode>{kErrorNothingConverted});
    EXPECT_EQ(test::listFolder(folder.path()), (std::vector<std::string>{"empty.bmp", "temp"}));
    EXPECT_TRUE(test::listFolder(folder / "temp").empty());
}

TEST(RunBatch, MissingFolderOfFirstInputIsAnInvalidOutputFolder)
{
    ScratchFolder folder;
    RecordingHost recorder;
    std::vector<fs::path> inputs{folder / "gone" / "a.bmp"};
    EXPECT_FALSE(StartBatch(inputs, recorder.host));
    EXPECT_EQ(recorder.shown, std::vector<ErrorCode>{kErrorBadOutputFolder});

    recorder.shown.clear();
    recorder.settings.OutDir = folder / "gone-too";
    EXPECT_FALSE(StartBatch(inputs, recorder.host)) << "a vanished OutDir falls back to the input's folder";
    EXPECT_EQ(recorder.shown, std::vector<ErrorCode>{kErrorBadOutputFolder});
}

TEST(RunBatch, SubFolderMadeByAFailedBatchIsRemovedButAnOlderOneStays)
{
    ScratchFolder folder;
    TempFolderOverride temp(folder.path());
    test::writeText(folder / "bad.png", "not an image");
    RecordingHost recorder;
    recorder.settings.MkDirAdd = true;
    recorder.settings.MkDirStr = "Output";
    std::vector<fs::path> inputs{folder / "bad.png"};

    EXPECT_TRUE(StartBatch(inputs, recorder.host));
    EXPECT_FALSE(fs::exists(folder / "Output"));
    EXPECT_EQ(recorder.shown, std::vector<ErrorCode>{kErrorNothingConverted});

    fs::create_directory(folder / "Output");
    EXPECT_TRUE(StartBatch(inputs, recorder.host));
    EXPECT_TRUE(fs::is_directory(folder / "Output"));

    recorder.settings.MkDirStr = "a/b";
    recorder.shown.clear();
    EXPECT_FALSE(StartBatch(inputs, recorder.host)) << "only one folder level is created";
    EXPECT_EQ(recorder.shown, std::vector<ErrorCode>{kErrorFolderCreate});
}

TEST(RunBatch, FileWithoutAFreeOutputNameIsSkipped)
{
    ScratchFolder folder;
    TempFolderOverride temp(folder.path());
    test::writeBytes(folder / "a.bmp", testing::buildBmp({.width = 1, .height = 1, .pixels = {1, 2, 3, 0}}));
    test::writeBytes(folder / "b.bmp", testing::buildBmp({.width = 1, .height = 1, .pixels = {4, 5, 6, 0}}));
    for (int n = 1; n <= 9999; ++n)
        test::writeText(folder / ("a+" + std::to_string(n) + ".bmp"), "taken");
    RecordingHost recorder;

    std::vector<fs::path> inputs{folder / "a.bmp"};
    EXPECT_TRUE(StartBatch(inputs, recorder.host));
    EXPECT_EQ(recorder.shown, std::vector<ErrorCode>{kErrorNothingConverted});
    EXPECT_EQ(test::readText(folder / "a+9999.bmp"), "taken");

    recorder.shown.clear();
    inputs.push_back(folder / "b.bmp");
    EXPECT_TRUE(StartBatch(inputs, recorder.host));
    EXPECT_TRUE(recorder.shown.empty()) << "one file converted, so nothing is shown";
    EXPECT_TRUE(fs::exists(folder / "b+1.bmp"));
    EXPECT_EQ(std::count_if(fs::directory_iterator(folder.path()), fs::directory_iterator(),
                            [](const auto& entry) { return entry.path().filename().string().rfind("tmp", 0) == 0; }),
              0);
}

TEST(RunBatch, OverlongSubFolderOrOutputNameIsRefusedNotCut)
{
    ScratchFolder folder;
    TempFolderOverride temp(folder.path());
    const std::size_t room = 259 - (folder.path().native().size() + 1);
    test::writeBytes(folder / "a.bmp", testing::buildBmp({.width = 1, .height = 1, .pixels = {1, 2, 3, 0}}));
    RecordingHost recorder;
    recorder.settings.MkDirAdd = true;
    recorder.settings.MkDirStr = std::string(room + 1, 's');
    std::vector<fs::path> inputs{folder / "a.bmp"};
    EXPECT_FALSE(StartBatch(inputs, recorder.host));
    EXPECT_EQ(recorder.shown, std::vector<ErrorCode>{kErrorFolderCreate});

    // The sub-folder fits, the output name inside it does not.
    recorder.settings.MkDirStr = std::string(room - 4, 's');
    recorder.shown.clear();
    EXPECT_TRUE(StartBatch(inputs, recorder.host));
    EXPECT_EQ(recorder.shown, std::vector<ErrorCode>{kErrorNothingConverted});
    EXPECT_FALSE(fs::exists(folder / recorder.settings.MkDirStr)) << "the batch's own folder is removed again";
}

TEST(InputsFromArguments, LongFormOrTheArgumentUnchanged)
{
    ScratchFolder folder;
    test::writeText(folder / "a.bmp", "");
    std::vector<platform::NativeString> arguments{(folder / "." / "a.bmp").string(), "no/such/file.bmp"};
    std::vector<fs::path> inputs = inputsFromArguments(arguments);
    ASSERT_EQ(inputs.size(), 2u);
    EXPECT_EQ(inputs[0], folder / "a.bmp");
    EXPECT_EQ(inputs[1], "no/such/file.bmp");
}

TEST(ErrorText, FiveMessages)
{
    EXPECT_EQ(errorText(kErrorNoMemory), "メモリ確保に失敗しました。");
    EXPECT_EQ(errorText(kErrorStartup), "ファイル実行に失敗しました。");
    EXPECT_EQ(errorText(kErrorNothingConverted), "ファイル変換に失敗しました。");
    EXPECT_EQ(errorText(kErrorBadOutputFolder), "出力フォルダが無効です。");
    EXPECT_EQ(errorText(kErrorFolderCreate), "フォルダ作成に失敗しました。");
}

}  // namespace
}  // namespace vrelk
