#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "bmp_test_support.h"
#include "codec_test_support.h"
#include "app/batch_start.h"
#include "app/cli_posix.h"
#include "codecs/files.h"
#include "platform/memory_budget.h"
#include "png_builder.h"
#include "convert/batch.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
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
    std::vector<std::string> refused;  // the keys of refused size settings
    BatchHost host{settings, applyFolderChecks, [this](ErrorCode code) { shown.push_back(code); }, {}, {}, {},
                   [this](const BadSetting& bad) { refused.emplace_back(bad.key->name); }};
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

TEST(PublishNoReplace, LeavesAnExistingTargetAloneAndNamesOnlyOnce)
{
    ScratchFolder folder;
    auto staged = platform::createStagingFile(folder.path());
    ASSERT_TRUE(staged);
    EXPECT_EQ(staged->parent_path(), folder.path());
    EXPECT_EQ(staged->filename().string().front(), '.') << "an unfinished output is hidden";
    test::writeText(*staged, "new");
    test::writeText(folder / "to", "old");
    EXPECT_EQ(platform::publishNoReplace(*staged, folder / "to"), platform::PublishResult::targetExists);
    EXPECT_EQ(test::readText(folder / "to"), "old");
    EXPECT_TRUE(fs::exists(*staged)) << "kept for the next name";
    EXPECT_EQ(platform::publishNoReplace(*staged, folder / "fresh"), platform::PublishResult::published);
    EXPECT_EQ(test::readText(folder / "fresh"), "new");
    EXPECT_FALSE(fs::exists(*staged));
    EXPECT_EQ(platform::publishNoReplace(folder / "missing", folder / "x"), platform::PublishResult::failed);
    EXPECT_FALSE(fs::exists(folder / "x"));

    // An output gets the permissions of any new file, not those of a
    // private temporary file.
    test::writeText(folder / "plain", "");
    EXPECT_EQ(fs::status(folder / "fresh").permissions(), fs::status(folder / "plain").permissions());
}

// Another program takes the free name between the check and the naming.
platform::PublishResult publishLosingTheRace(const platform::Path& from, const platform::Path& to)
{
    static int calls = 0;
    if (++calls == 1) {
        test::writeText(to, "theirs");
        return platform::PublishResult::targetExists;
    }
    return platform::publishNoReplace(from, to);
}

TEST(DeliverOutput, NameTakenDuringTheNamingMovesOnToTheNextNumber)
{
    ScratchFolder folder;
    test::writeText(folder / "tmp1", "ours");
    test::writeText(folder / "photo.bmp", "older");
    fs::path written;
    EXPECT_FALSE(DeliverOutput(folder / "tmp1", folder / "photo.bmp", ".bmp", written, publishLosingTheRace));
    EXPECT_EQ(written, folder / "photo+2.bmp");
    EXPECT_EQ(test::readText(folder / "photo+1.bmp"), "theirs") << "the other program's file is kept";
    EXPECT_EQ(test::readText(folder / "photo+2.bmp"), "ours");
    EXPECT_EQ(test::readText(folder / "photo.bmp"), "older");

    auto failing = [](const platform::Path&, const platform::Path&) { return platform::PublishResult::failed; };
    std::optional<FileFailure> failed = DeliverOutput(folder / "tmp1", folder / "x.bmp", ".bmp", written, failing);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->reason, SkipReason::publishFailed);
}

// A TIFF whose directory names no strips at all.
Bytes tiffWithoutStrips()
{
    Bytes file{'I', 'I', 42, 0, 8, 0, 0, 0};
    constexpr std::array<std::array<std::uint32_t, 2>, 4> kFields{{{256, 2}, {257, 2}, {258, 8}, {262, 1}}};
    test::putLE(file, kFields.size(), 2);
    for (const auto& [tag, value] : kFields) {
        test::putLE(file, tag, 2);
        test::putLE(file, 3, 2);  // SHORT
        test::putLE(file, 1, 4);
        test::putLE(file, value, 4);
    }
    test::putLE(file, 0, 4);
    return test::concat({file, Bytes{10, 20, 30, 40}});
}

// A GIF with an extension whose label no version of the format defines.
Bytes gifWithUnknownExtension()
{
    return Bytes{'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0, 0, 0, 255, 255, 255, 0x21, 0x02, 0, 0x3B};
}

Bytes pngWithBrokenCrc()
{
    Bytes file = test::simplePng(1, 1, 8, 2, Bytes{0, 1, 2, 3});
    file[file.size() - 13] ^= 0xFF;  // the IDAT's CRC
    return file;
}

// Shrinks the file named so once its reader has looked at its size.
void shrinkTheVictim(const platform::Path& path);

// The budget of the process, lowered for one test.
class BudgetOverride {
public:
    explicit BudgetOverride(std::uint64_t total) : saved_(platform::processMemoryBudget().total())
    {
        platform::processMemoryBudget().setTotal(total);
    }
    ~BudgetOverride() { platform::processMemoryBudget().setTotal(saved_); }

private:
    std::uint64_t saved_;
};

// Every reason a file of a batch can be skipped for, each from the cause
// that should give it, with the words the report shows.
TEST(RunBatch, ReportsEveryFileWithItsOutputOrItsReason)
{
    ScratchFolder folder;
    TempFolderOverride temp(folder.path());
    const Bytes bmp64 = testing::buildBmp({.width = 64, .height = 64, .pixels = Bytes(64 * 64 * 3, 9)});
    const struct {
        const char* name;
        std::optional<Bytes> bytes;  // none: no file at all
        SkipReason reason;
        std::optional<CodecError> error;
        std::string_view report;
    } cases[] = {
        {"missing.bmp", std::nullopt, SkipReason::missing, std::nullopt, "no such file"},
        {"short.bmp", Bytes{'B'}, SkipReason::tooShort, std::nullopt, "empty or too short to be an image"},
        {"text.bmp", Bytes{'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'}, SkipReason::unrecognised,
         std::nullopt, "unrecognised format"},
        {"rle.bmp", testing::buildBmp({.width = 1, .height = 1, .bits = 8, .compression = 1, .pixels = {1, 0, 0, 1}}),
         SkipReason::readFailed, CodecError::unsupported, "cannot read: unsupported variant"},
        {"wide.png", test::simplePng(25001, 1, 8, 0, Bytes(25002)), SkipReason::readFailed,
         CodecError::tooLarge, "cannot read: too large"},
        {"crc.png", pngWithBrokenCrc(), SkipReason::readFailed, CodecError::pngBadCrc,
         "cannot read: damaged file (a checksum does not match)"},
        {"nostrips.tif", tiffWithoutStrips(), SkipReason::readFailed, CodecError::damaged,
         "cannot read: damaged file"},
        {"label.gif", gifWithUnknownExtension(), SkipReason::readFailed, CodecError::unsupported,
         "cannot read: unsupported variant"},
        // 1.2 GB of picture against a budget of 64 MB: refused before any of it is allocated.
        {"huge.png", test::simplePng(20000, 20000, 8, 2, Bytes(60001)), SkipReason::readFailed,
         CodecError::noMemory, "cannot read: out of memory"},
        {"victim.bmp", bmp64, SkipReason::readFailed, CodecError::cannotOpen, "cannot read: cannot open"},
        // 25 MB of grey reads within 64 MB; its PNG's filtered rows and their
        // compressed copy would take 50 MB more.
        {"writer.png", test::simplePng(5000, 5000, 8, 0, Bytes(5001 * 5000)), SkipReason::writeFailed,
         CodecError::noMemory, "cannot write: out of memory"},
        // Made 80 MB below: claimed from its size, never read.
        {"large.bmp", bmp64, SkipReason::readFailed, CodecError::noMemory, "cannot read: out of memory"},
    };
    test::writeBytes(folder / "a.bmp", testing::buildBmp({.width = 1, .height = 1, .pixels = {1, 2, 3, 0}}));
    fs::create_directory(folder / "folder.bmp");
    std::vector<fs::path> inputs{folder / "a.bmp", folder / "folder.bmp"};
    for (const auto& c : cases) {
        if (c.bytes)
            test::writeBytes(folder / c.name, *c.bytes);
        inputs.push_back(folder / c.name);
    }
    fs::resize_file(folder / "large.bmp", 80 << 20);
    ConvertOptions options;
    options.outputType = kOutputPng;
    std::vector<std::size_t> seen;
    BatchReport report;
    {
        BudgetOverride budget(64 << 20);
        setInputSizedHook(shrinkTheVictim);
        report = RunBatch(inputs, options, [&](const FileReport&, std::size_t index, std::size_t count) {
            EXPECT_EQ(count, inputs.size());
            seen.push_back(index);
        });
        setInputSizedHook(nullptr);
    }
    EXPECT_EQ(report.outcome, BatchOutcome::done);
    ASSERT_EQ(seen.size(), inputs.size());
    for (std::size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], i);
    ASSERT_EQ(report.files.size(), inputs.size());
    EXPECT_TRUE(report.files[0].converted());
    EXPECT_EQ(report.files[0].output, folder / "a.png");
    ASSERT_TRUE(report.files[1].failure);
    EXPECT_EQ(SkipReasonText(*report.files[1].failure), "not a regular file");
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const FileReport& file = report.files[i + 2];
        ASSERT_TRUE(file.failure) << cases[i].name;
        EXPECT_EQ(file.failure->reason, cases[i].reason) << cases[i].name;
        EXPECT_EQ(file.failure->error, cases[i].error) << cases[i].name;
        EXPECT_EQ(SkipReasonText(*file.failure), cases[i].report) << cases[i].name;
        EXPECT_TRUE(file.output.empty()) << cases[i].name;
    }
}

// An input that another program cuts short after its header was looked at
// and before its data is read.
void shrinkTheVictim(const platform::Path& path)
{
    if (path.filename() == "victim.bmp")
        fs::resize_file(path, 60);
}

TEST(RunBatch, InputShrinkingWhileReadFailsAloneAndTheRestConverts)
{
    ScratchFolder folder;
    const auto bmp = testing::buildBmp({.width = 64, .height = 64, .pixels = std::vector<std::uint8_t>(64 * 64 * 3, 9)});
    for (const char* name : {"a.bmp", "victim.bmp", "c.bmp"})
        test::writeBytes(folder / name, bmp);
    std::vector<fs::path> inputs{folder / "a.bmp", folder / "victim.bmp", folder / "c.bmp"};
    ConvertOptions options;
    options.outputType = kOutputPng;
    setInputSizedHook(shrinkTheVictim);
    BatchReport report = RunBatch(inputs, options);
    setInputSizedHook(nullptr);
    ASSERT_EQ(report.files.size(), 3u);
    EXPECT_TRUE(report.files[0].converted());
    EXPECT_TRUE(report.files[2].converted());
    ASSERT_TRUE(report.files[1].failure);
    EXPECT_EQ(report.files[1].failure->reason, SkipReason::readFailed);
    EXPECT_EQ(report.files[1].failure->error, CodecError::cannotOpen);
    EXPECT_EQ(test::listFolder(folder.path()), (std::vector<std::string>{"a.bmp", "a.png", "c.bmp", "c.png", "victim.bmp"}));
}

TEST(RunBatchInParallel, FailureWhileDeliveringEndsTheBatchWithTheFilesDoneSoFar)
{
    ScratchFolder folder;
    fs::create_directory(folder / "out");
    const auto bmp = testing::buildBmp({.width = 64, .height = 64, .pixels = std::vector<std::uint8_t>(64 * 64 * 3, 5)});
    std::vector<fs::path> inputs;
    for (int i = 0; i < 12; ++i) {
        inputs.push_back(folder / ("p" + std::to_string(i) + ".bmp"));
        test::writeBytes(inputs.back(), bmp);
    }
    ConvertOptions options;
    options.outputType = kOutputPng;
    options.outputFolder = folder / "out";
    BatchReport report = RunBatchInParallel(inputs, options, 3, [](const FileReport&, std::size_t index, std::size_t) {
        if (index == 2)
            throw std::runtime_error("the caller gives up");
    });
    ASSERT_EQ(report.files.size(), inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_EQ(report.files[i].converted(), i <= 2) << i;
        if (i > 2) {
            EXPECT_EQ(report.files[i].failure->reason, SkipReason::batchStopped) << i;
        }
    }
    EXPECT_EQ(test::listFolder(folder / "out"), (std::vector<std::string>{"p0.png", "p1.png", "p2.png"}))
        << "no staged file is left behind";
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

// The window's controls or the stored file may hold a size no batch can
// use; the batch is refused as a whole, naming it, before any file.
TEST(RunBatch, SizeSettingOutOfRangeIsRefusedBeforeAnyFile)
{
    ScratchFolder folder;
    test::writeBytes(folder / "a.bmp", testing::buildBmp({.width = 2, .height = 1, .pixels = {1, 2, 3, 4, 5, 6, 0, 0}}));
    const struct {
        const char* name;
        void (*set)(Settings&);
        const char* refused;  // empty: the batch runs
    } cases[] = {
        {"target 0", [](Settings& s) { s.outputType = kOutputJpeg, s.Limit = true, s.LmtVal = 0; }, "LmtVal"},
        {"target too large", [](Settings& s) { s.outputType = kOutputJpeg, s.Limit = true, s.LmtVal = 32768; }, "LmtVal"},
        {"target off", [](Settings& s) { s.outputType = kOutputJpeg, s.Limit = false, s.LmtVal = 0; }, ""},
        {"no target for BMP", [](Settings& s) { s.outputType = kOutputBmp, s.Limit = true, s.LmtVal = 0; }, ""},
        {"size 0", [](Settings& s) { s.Resize = true, s.RszSize = 0; }, "RszSize"},
        {"size negative", [](Settings& s) { s.Resize = true, s.RszSize = -64; }, "RszSize"},
        {"size beyond any picture", [](Settings& s) { s.Resize = true, s.RszSize = kMaxDimension + 1; }, ""},
        {"reduction off", [](Settings& s) { s.Resize = false, s.RszSize = 0; }, ""},
        {"largest sizes", [](Settings& s) { s.outputType = kOutputJpeg, s.Limit = true, s.LmtVal = 32767, s.Resize = true, s.RszSize = kMaxDimension; }, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingHost recorder;
        recorder.settings.OutDir = folder / c.name;
        fs::create_directory(recorder.settings.OutDir);
        c.set(recorder.settings);
        const std::vector<fs::path> inputs{folder / "a.bmp"};
        const bool started = StartBatch(inputs, recorder.host);
        EXPECT_TRUE(recorder.shown.empty());
        if (*c.refused) {
            EXPECT_FALSE(started);
            EXPECT_EQ(recorder.refused, std::vector<std::string>{c.refused});
            EXPECT_TRUE(fs::is_empty(recorder.settings.OutDir));
        } else {
            EXPECT_TRUE(started);
            EXPECT_TRUE(recorder.refused.empty());
            EXPECT_EQ(test::listFolder(recorder.settings.OutDir).size(), 1u);
        }
    }
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
    // Linux's own limits: a name of at most NAME_MAX bytes.
    constexpr std::size_t kNameMax = 255;
    ScratchFolder folder;
    test::writeBytes(folder / "a.bmp", testing::buildBmp({.width = 1, .height = 1, .pixels = {1, 2, 3, 0}}));
    RecordingHost recorder;
    recorder.settings.MkDirAdd = true;
    recorder.settings.MkDirStr = std::string(kNameMax + 1, 's');
    std::vector<fs::path> inputs{folder / "a.bmp"};
    EXPECT_FALSE(StartBatch(inputs, recorder.host));
    EXPECT_EQ(recorder.shown, std::vector<ErrorCode>{kErrorFolderCreate});

    // The sub-folder fits, the output name inside it does not: ".b" becomes ".bmp".
    recorder.settings.MkDirStr = std::string(kNameMax, 's');
    const fs::path longInput = folder / (std::string(kNameMax - 2, 'n') + ".b");
    fs::copy_file(folder / "a.bmp", longInput);
    inputs = {longInput};
    recorder.shown.clear();
    EXPECT_TRUE(StartBatch(inputs, recorder.host));
    EXPECT_EQ(recorder.shown, std::vector<ErrorCode>{kErrorNothingConverted});
    EXPECT_FALSE(fs::exists(folder / recorder.settings.MkDirStr)) << "the batch's own folder is removed again";
}

// The reasons say what the system found: a loop of links is not a missing
// file, a name too long is not a name taken, a size setting of 0 is named.
// (A full disk, /dev/full, is in each writer's own test.)
TEST(RunBatch, ReasonsNameLinkLoopsLongNamesAndTheSizeSetting)
{
    ScratchFolder folder;
    const Bytes bmp = testing::buildBmp({.width = 1, .height = 1, .pixels = {1, 2, 3, 0}});
    fs::create_symlink("loop-b.bmp", folder / "loop-a.bmp");
    fs::create_symlink("loop-a.bmp", folder / "loop-b.bmp");
    // ".b" becomes ".bmp": two bytes past what a name may hold.
    const fs::path longName = folder / (std::string(253, 'n') + ".b");
    test::writeBytes(longName, bmp);
    struct Case {
        fs::path input;
        std::int32_t outputType;
        std::string_view report;
    };
    const Case cases[] = {
        {folder / "loop-a.bmp", kOutputBmp, "cannot read: too many levels of symbolic links"},
        {folder / "loop-a.bmp", kOutputRecode, "cannot read: too many levels of symbolic links"},
        {longName, kOutputBmp, "cannot write: name too long"},
        {folder / "gone.bmp", kOutputBmp, "no such file"},
    };
    for (const Case& c : cases) {
        ConvertOptions options;
        options.outputType = c.outputType;
        const std::vector<fs::path> inputs{c.input};
        const BatchReport report = RunBatch(inputs, options);
        ASSERT_EQ(report.files.size(), 1u) << c.report;
        ASSERT_TRUE(report.files[0].failure) << c.report;
        EXPECT_EQ(SkipReasonText(*report.files[0].failure), c.report);
    }

    ConvertOptions zeroSize;
    zeroSize.resize = true;
    zeroSize.resizeSize = 0;
    const std::vector<fs::path> inputs{folder / "plain.bmp"};
    test::writeBytes(inputs[0], bmp);
    const BatchReport report = RunBatch(inputs, zeroSize);
    ASSERT_EQ(report.files.size(), 1u);
    ASSERT_TRUE(report.files[0].failure);
    EXPECT_EQ(SkipReasonText(*report.files[0].failure), "size reduction failed: the size setting (RszSize) is below 1");

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
