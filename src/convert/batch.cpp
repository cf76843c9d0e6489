#include "convert/batch.h"

#include "convert/batch_steps.h"

#include <cstdlib>
#include <string>

#include "codecs/files.h"
#include "codecs/jpeg.h"
#include "pixel/colour_manage.h"

namespace vrelk {
namespace {

constexpr int kMaxOutputNumber = 9999;
// Paths the program forms hold at most this many units; a longer one is
// refused rather than cut short into some other path.
constexpr std::size_t kMaxPathUnits = 259;

bool fitsPathLimit(const platform::Path& path) { return path.native().size() <= kMaxPathUnits; }

platform::Path numberedPath(const platform::Path& path, std::string_view extension, int number)
{
    platform::Path candidate = path;
    candidate.replace_extension();
    std::string suffix(1, '+');
    suffix.append(std::to_string(number));
    candidate += platform::fromUtf8(suffix);
    candidate += platform::fromUtf8(extension);
    return candidate;
}

// The first free name among `path` (when `from` is 0) and "name+N.ext" for
// N = max(from, 1)..9999; `used` receives N (0 for the name itself).
bool findFreeOutputPath(platform::Path& path, std::string_view extension, int from, int& used)
{
    if (!fitsPathLimit(path))
        return false;
    if (from == 0 && !platform::pathExists(path)) {
        used = 0;
        return true;
    }
    for (int number = from < 1 ? 1 : from; number <= kMaxOutputNumber; ++number) {
        platform::Path candidate = numberedPath(path, extension, number);
        if (!fitsPathLimit(candidate))
            return false;
        if (!platform::pathExists(candidate)) {
            path = std::move(candidate);
            used = number;
            return true;
        }
    }
    return false;
}

// Copies the finished temporary file under a free output name. The copy
// never replaces a file: a name taken after the check moves on to the next
// number.
}  // namespace

std::optional<FileFailure> DeliverOutput(const platform::Path& tempPath, const platform::Path& outputPath,
                                         std::string_view extension, platform::Path& written, CopyFn copy)
{
    int next = 0;
    while (next <= kMaxOutputNumber) {
        platform::Path candidate = outputPath;
        int used = 0;
        if (!findFreeOutputPath(candidate, extension, next, used))
            break;
        switch (copy(tempPath, candidate)) {
        case platform::CopyResult::copied: written = std::move(candidate); return std::nullopt;
        case platform::CopyResult::failed: return FileFailure{SkipReason::copyFailed, std::nullopt};
        case platform::CopyResult::targetExists: next = used + 1; break;
        }
    }
    return FileFailure{SkipReason::noFreeName, std::nullopt};
}

namespace {

// The output folder of the batch, with the sub-folder when one is asked
// for; `created` tells whether this batch made the sub-folder.
Result<platform::Path, BatchOutcome> settleOutputFolder(const platform::Path& firstInput,
                                                        const ConvertOptions& options, bool& created)
{
    platform::Path folder = options.outputFolder;
    if (folder.empty()) {
        folder = firstInput.parent_path();
        if (!platform::folderExists(folder))
            return BatchOutcome::badOutputFolder;
    }
    if (options.makeSubFolder && !options.subFolderName.empty()) {
        folder /= options.subFolderName;
        if (!fitsPathLimit(folder))
            return BatchOutcome::folderNotCreated;
        if (!platform::folderExists(folder)) {
            if (!platform::createFolder(folder))
                return BatchOutcome::folderNotCreated;
            created = true;
        }
    }
    return folder;
}

Status reduceImage(ScratchBuffers& scratch, DibImage& image, const ConvertOptions& options)
{
    CurrentImage current{&image, image.header.biWidth, image.header.biHeight, image.header.biBitCount};
    ReductionTools tools{scratch.converter24, scratch.resizeJob, scratch.filterJob, *scratch.tables};
    if (Status reduced = reduceImage(tools, current, options.resizeMode, options.resizeSize); !reduced)
        return reduced;
    // The header describes the pixels the writer gets.
    image.header.biWidth = current.width;
    image.header.biHeight = current.height;
    image.header.biBitCount = static_cast<std::uint16_t>(current.bitCount);
    return {};
}

FileFailure skipped(SkipReason reason, std::optional<CodecError> error = std::nullopt) { return {reason, error}; }

}  // namespace

bool MakeUniqueOutputPath(platform::Path& path, std::string_view extension)
{
    int used = 0;
    return findFreeOutputPath(path, extension, 0, used);
}

std::optional<FileFailure> ConvertOneFile(FileJob& job, const platform::Path& tempFolder,
                                          const platform::Path& input, platform::Path& tempPath)
{
    Result<DibImage, FileFailure> image = ReadImage(input, ReadContext{job.options, *job.scratch.tables});
    if (!image)
        return image.error();

    auto temp = platform::createTempFile(tempFolder);
    if (!temp)
        return skipped(SkipReason::noTempFile);
    tempPath = *temp;
    // Before any reduction, so that sizes and palettes are worked out on
    // the colours that will be shown.
    SettleColours(*image, WriterKeepsProfile(job.write));
    if (job.options.resize) {
        if (Status reduced = reduceImage(job.scratch, *image, job.options); !reduced) {
            platform::deleteFile(tempPath);
            return skipped(SkipReason::reduceFailed, reduced.error());
        }
    }
    Status written = job.write(viewOf(*image), tempPath, job.options);
    if (!written) {
        platform::deleteFile(tempPath);
        return skipped(SkipReason::writeFailed, written.error());
    }
    job.written = {image->header.biWidth, std::abs(image->header.biHeight)};
    return std::nullopt;
}

std::optional<FileFailure> RecodeOneFile(FileJob& job, const platform::Path& tempFolder,
                                         const platform::Path& input, platform::Path& tempPath)
{
    if (!platform::pathExists(input))
        return skipped(SkipReason::missing);
    auto temp = platform::createTempFile(tempFolder);
    if (!temp)
        return skipped(SkipReason::noTempFile);
    tempPath = *temp;
    Status recoded = [&]() -> Status {
        Result<InputFile> mapped = InputFile::map(input);
        if (!mapped)
            return mapped.error();
        return RecodeJpeg(mapped->cursor(), tempPath, &job.written);
    }();
    if (!recoded) {
        platform::deleteFile(tempPath);
        return skipped(SkipReason::readFailed, recoded.error());
    }
    return std::nullopt;
}

namespace batch {

Result<BatchPlan, BatchOutcome> planBatch(std::span<const platform::Path> inputs, const ConvertOptions& options)
{
    BatchPlan plan;
    plan.choice = SelectOutput(options.outputType);
    auto folder = settleOutputFolder(inputs.front(), options, plan.createdSubFolder);
    if (!folder)
        return folder.error();
    plan.outputFolder = std::move(*folder);
    // Without a temporary folder no file can be written; none is made up.
    plan.tempFolder = platform::tempFolder();
    return plan;
}

FileStep stepFor(const OutputChoice& choice)
{
    return choice.step == PerFileStep::recode ? RecodeOneFile : ConvertOneFile;
}

std::optional<FileFailure> produceFile(FileStep step, FileJob& job, const std::optional<platform::Path>& tempFolder,
                                       const platform::Path& input, platform::Path& tempPath)
{
    job.written = {};
    if (platform::pathExists(input) && !platform::isRegularFile(input))
        return skipped(SkipReason::notRegularFile);
    if (!tempFolder)
        return skipped(SkipReason::noTempFile);
    return step(job, *tempFolder, input, tempPath);
}

void deliverFile(FileReport& file, const platform::Path& tempPath, const BatchPlan& plan)
{
    if (file.failure)
        return;
    platform::Path outputPath = plan.outputFolder / file.input.filename();
    outputPath.replace_extension(platform::fromUtf8(plan.choice.extension));
    file.failure = DeliverOutput(tempPath, outputPath, plan.choice.extension, file.output);
    platform::deleteFile(tempPath);
    if (file.failure)
        file.size = {};
}

void finishBatch(BatchReport& report, const BatchPlan& plan)
{
    for (const FileReport& file : report.files)
        if (file.converted())
            return;
    if (plan.createdSubFolder)
        platform::removeFolder(plan.outputFolder);
    report.outcome = BatchOutcome::nothingConverted;
}

void runSequentially(std::span<const platform::Path> inputs, const ConvertOptions& options, const BatchPlan& plan,
                     ScratchBuffers& scratch, const FileDone& fileDone, BatchReport& report)
{
    const platform::HeldWorkerSlot held(options.workers);
    FileJob job{options, scratch, plan.choice.write};
    const FileStep step = stepFor(plan.choice);
    for (const platform::Path& input : inputs) {
        FileReport& file = report.files.emplace_back(FileReport{input, {}, std::nullopt, {}});
        platform::Path tempPath;
        file.failure = produceFile(step, job, plan.tempFolder, input, tempPath);
        file.size = job.written;
        deliverFile(file, tempPath, plan);
        if (fileDone)
            fileDone(file, report.files.size() - 1, inputs.size());
    }
}

std::vector<std::unique_ptr<ScratchBuffers>> allocateWorkerScratch(std::size_t wanted)
{
    std::vector<std::unique_ptr<ScratchBuffers>> sets;
    while (sets.size() < wanted) {
        std::unique_ptr<ScratchBuffers> scratch = AllocateScratchBuffers();
        if (!scratch)
            break;
        sets.push_back(std::move(scratch));
    }
    return sets;
}

}  // namespace batch

BatchReport RunBatch(std::span<const platform::Path> inputs, const ConvertOptions& options,
                     const FileDone& fileDone)
{
    BatchReport report;
    if (inputs.empty())
        return report;
    auto plan = batch::planBatch(inputs, options);
    if (!plan) {
        report.outcome = plan.error();
        return report;
    }
    std::unique_ptr<ScratchBuffers> scratch = AllocateScratchBuffers();
    if (!scratch) {
        report.outcome = BatchOutcome::noMemory;
        return report;
    }
    report.files.reserve(inputs.size());
    batch::runSequentially(inputs, options, *plan, *scratch, fileDone, report);
    scratch.reset();
    batch::finishBatch(report, *plan);
    return report;
}

std::vector<platform::Path> inputsFromArguments(std::span<const platform::NativeString> arguments)
{
    std::vector<platform::Path> inputs;
    inputs.reserve(arguments.size());
    for (const platform::NativeString& argument : arguments)
        inputs.push_back(platform::longPathName(argument).value_or(platform::Path(argument)));
    return inputs;
}

}  // namespace vrelk
