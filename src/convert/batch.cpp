#include "convert/batch.h"

#include "convert/batch_steps.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "codecs/decode_memory.h"
#include "codecs/files.h"
#include "codecs/jpeg.h"
#include "convert/convert_memory.h"
#include "pixel/alpha.h"
#include "pixel/colour_manage.h"
#include "platform/memory_budget.h"

namespace vrelk {
namespace {

constexpr int kMaxOutputNumber = 9999;
// A path the program forms beyond what the OS takes is refused rather than
// cut short into some other path.
bool fitsPathLimit(const platform::Path& path) { return platform::pathWithinLimits(path); }

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

}  // namespace

std::optional<FileFailure> DeliverOutput(const platform::Path& stagedPath, const platform::Path& outputPath,
                                         std::string_view extension, platform::Path& written, PublishFn publish)
{
    int next = 0;
    while (next <= kMaxOutputNumber) {
        platform::Path candidate = outputPath;
        int used = 0;
        if (!findFreeOutputPath(candidate, extension, next, used))
            break;
        switch (publish(stagedPath, candidate)) {
        case platform::PublishResult::published: written = std::move(candidate); return std::nullopt;
        case platform::PublishResult::failed: return FileFailure{SkipReason::publishFailed, std::nullopt};
        case platform::PublishResult::targetExists: next = used + 1; break;
        }
    }
    // A name that cannot take its number is too long, not taken.
    if (!fitsPathLimit(numberedPath(outputPath, extension, kMaxOutputNumber)))
        return FileFailure{SkipReason::writeFailed, CodecError::nameTooLong};
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
        // The name comes from the settings file as it stands: "/", ".." or
        // an absolute path would put the outputs anywhere.
        if (!platform::isPlainFolderName(options.subFolderName))
            return BatchOutcome::badSubFolder;
        folder /= options.subFolderName;
        if (!fitsPathLimit(folder))
            return BatchOutcome::folderNotCreated;
        // Another run may make the same folder at the same moment.
        if (platform::createFolder(folder))
            created = true;
        else if (!platform::folderExists(folder))
            return BatchOutcome::folderNotCreated;
    }
    return folder;
}

Status reduceImage(ScratchBuffers& scratch, Picture& image, const ConvertOptions& options)
{
    ReductionTools tools{scratch.converter24, scratch.resizeJob, scratch.filterJob, *scratch.tables};
    return reduceImage(tools, image, options.resizeMode, options.resizeSize, options.boxHeight);
}

// Dots per unit follow the pixels, so that a reduced picture prints at
// the size its original did.
std::int32_t scaledDensity(std::int32_t perMetre, std::int32_t written, std::int32_t read)
{
    if (read <= 0)
        return perMetre;
    return static_cast<std::int32_t>((std::int64_t{perMetre} * written + read / 2) / read);
}

// What the output carries of the input's Exif, XMP and resolution:
// nothing unless asked, and then made true of the picture written from a
// picture read at readWidth x readHeight.
void settleMetadata(PictureMeta& meta, KeepMetadata keep, std::int32_t width, std::int32_t height,
                    std::int32_t readWidth, std::int32_t readHeight)
{
    if (keep == KeepMetadata::none) {
        meta.exif.clear();
        meta.xmp.clear();
        meta.resolution = {};
        return;
    }
    if (meta.resolution.unit != DensityUnit::none)
        meta.resolution = {scaledDensity(meta.resolution.xPerMetre, width, readWidth),
                           scaledDensity(meta.resolution.yPerMetre, height, readHeight), meta.resolution.unit};
    const bool dropLocation = keep == KeepMetadata::allButLocation;
    if (!meta.exif.empty())
        meta.exif = EditExif(meta.exif, {meta.shownUpright, width, height, dropLocation});
    if (!meta.xmp.empty())
        meta.xmp = EditXmp(meta.xmp, meta.shownUpright, dropLocation);
}

FileFailure skipped(SkipReason reason, std::optional<CodecError> error = std::nullopt) { return {reason, error}; }

// A picture read with its transparency keeps it only when some pixel is
// transparent and the writer carries it; any other goes on in 24 bits over
// white, so that it is written as it would be without.
Status settleAlpha(DecodeMemory& memory, Picture& image, bool writerKeepsAlpha, const LookupTables& tables)
{
    if (image.layout != PixelLayout::bgra32 || (writerKeepsAlpha && hasTransparency(image)))
        return {};
    if (Status claimed = memory.claim(pictureNeed(static_cast<std::uint64_t>(image.width),
                                                  static_cast<std::uint64_t>(image.height), 24));
        !claimed)
        return claimed;
    return compositeAlphaOverWhite(image, tables);
}

}  // namespace

bool MakeUniqueOutputPath(platform::Path& path, std::string_view extension)
{
    int used = 0;
    return findFreeOutputPath(path, extension, 0, used);
}

std::optional<FileFailure> ConvertOneFile(FileJob& job, const platform::Path& outputFolder,
                                          const platform::Path& input, platform::Path& stagedPath)
{
    // The decoder reserves its picture from the process budget; it is held
    // until the output is written.
    DecodeMemory memory(platform::processMemoryBudget());
    const bool keepAlpha = job.options.keepAlpha && (job.output.keeps & kKeepsAlpha) != 0;
    Result<Picture, FileFailure> image =
        ReadImage(input, ReadContext{job.options, *job.scratch.tables, job.pluginTurns, job.file,
                                     ReadLimits{kMaxDimension, &memory}, keepAlpha});
    if (!image)
        return image.error();
    // The input's bytes went with the read; each later step claims its
    // working copies before it makes them.
    memory.forgetKept();
    if (Status settled = settleAlpha(memory, *image, keepAlpha, *job.scratch.tables); !settled)
        return skipped(SkipReason::readFailed, settled.error());

    // Before any reduction, so that sizes and palettes are worked out on
    // the colours that will be shown.
    if (Status claimed = memory.claim(settlingNeed(*image)); !claimed)
        return skipped(SkipReason::readFailed, claimed.error());
    SettleColours(*image, (job.output.keeps & kKeepsProfile) != 0);
    const std::int32_t readWidth = image->width;
    const std::int32_t readHeight = image->height;
    if (job.options.resize) {
        Status reduced = memory.claim(reductionNeed(*image, job.options));
        if (reduced)
            reduced = reduceImage(job.scratch, *image, job.options);
        if (!reduced)
            return skipped(SkipReason::reduceFailed, reduced.error());
    }
    settleMetadata(image->meta, job.options.keepMetadata, image->width, image->height, readWidth, readHeight);
    if (Status claimed = memory.claim(writingNeed(*image, job.output.outputType, job.options.limitSize)); !claimed)
        return skipped(SkipReason::writeFailed, claimed.error());
    auto staged = platform::createStagingFile(outputFolder);
    if (!staged)
        return skipped(SkipReason::noTempFile);
    stagedPath = *staged;
    Status written = job.output.write(viewOf(*image), stagedPath, job.options);
    if (!written) {
        platform::deleteFile(stagedPath);
        return skipped(SkipReason::writeFailed, written.error());
    }
    job.written = {image->width, image->height};
    job.alphaKept = image->layout == PixelLayout::bgra32;
    job.metadataKept = (job.output.keeps & kKeepsMetadata) != 0 && (!image->meta.exif.empty() || !image->meta.xmp.empty());
    return std::nullopt;
}

std::optional<FileFailure> RecodeOneFile(FileJob& job, const platform::Path& outputFolder,
                                         const platform::Path& input, platform::Path& stagedPath)
{
    if (!platform::pathExists(input))
        return UnreachableInput(platform::lastIoFailure());
    DecodeMemory memory(platform::processMemoryBudget());
    const ReadLimits limits{kMaxDimension, &memory};
    Result<InputFile> bytes = InputFile::read(input, limits);
    if (!bytes)
        return skipped(SkipReason::readFailed, bytes.error());
    // Only a JPEG has coefficients to carry over; any other picture would
    // otherwise fail as a damaged JPEG.
    if (SniffFormat(bytes->bytes()) != kFormatJpeg)
        return skipped(SkipReason::notJpeg);
    auto staged = platform::createStagingFile(outputFolder);
    if (!staged)
        return skipped(SkipReason::noTempFile);
    stagedPath = *staged;
    Status recoded = RecodeJpeg(bytes->cursor(), stagedPath, &job.written, limits, job.options.keepMetadata);
    if (!recoded) {
        platform::deleteFile(stagedPath);
        return skipped(SkipReason::readFailed, recoded.error());
    }
    job.metadataKept = job.options.keepMetadata != KeepMetadata::none;
    return std::nullopt;
}

namespace batch {

Result<BatchPlan, BatchOutcome> planBatch(std::span<const platform::Path> inputs, const ConvertOptions& options)
{
    BatchPlan plan;
    plan.output = &OutputFormatOf(options.outputType);
    auto folder = settleOutputFolder(inputs.front(), options, plan.createdSubFolder);
    if (!folder)
        return folder.error();
    plan.outputFolder = std::move(*folder);
    plan.keepTime = options.keepTime;
    // A run killed outright leaves its staging files behind. A minute is
    // long past the moment between a file's creation and its lock.
    platform::removeAbandonedStagingFiles(plan.outputFolder, std::chrono::minutes(1));
    return plan;
}

FileStep stepFor(const OutputFormat& output)
{
    return output.step == PerFileStep::recode ? RecodeOneFile : ConvertOneFile;
}

std::optional<FileFailure> produceFile(FileStep step, FileJob& job, const BatchPlan& plan,
                                       const platform::Path& input, platform::Path& stagedPath)
{
    job.written = {};
    job.metadataKept = false;
    job.alphaKept = false;
    if (platform::pathExists(input) && !platform::isRegularFile(input))
        return skipped(SkipReason::notRegularFile);
    std::optional<FileFailure> failure = step(job, plan.outputFolder, input, stagedPath);
    // The thread that wrote the file waits for the disk, so that naming the
    // files in input order waits for none.
    if (!failure && !platform::flushToDisk(stagedPath)) {
        platform::deleteFile(stagedPath);
        job.written = {};
        return skipped(SkipReason::publishFailed);
    }
    return failure;
}

void deliverFile(FileReport& file, const platform::Path& stagedPath, const BatchPlan& plan)
{
    if (file.failure)
        return;
    platform::Path outputPath = plan.outputFolder / file.input.filename();
    outputPath.replace_extension(platform::fromUtf8(plan.output->extension));
    file.failure = DeliverOutput(stagedPath, outputPath, plan.output->extension, file.output);
    if (file.failure) {
        platform::deleteFile(stagedPath);
        file.size = {};
        return;
    }
    // Set on the named file, so that nothing but the rename follows it; a
    // failure keeps the file and is only reported.
    if (plan.keepTime)
        file.timeKept = platform::copyFileTimes(file.input, file.output);
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
                     ScratchBuffers& scratch, const FileDone& fileDone, BatchReport& report, const StopFlag* stop)
{
    const platform::HeldWorkerSlot held(options.workers);
    const PagePool::Use pages(scratch.pages.get());
    const platform::PictureCoresScope lent({options.workers, options.splitOutput});
    FileJob job{options, scratch, *plan.output};
    const FileStep step = stepFor(*plan.output);
    for (const platform::Path& input : inputs) {
        if (stop && stop->load()) {
            report.cancelled = true;
            return;
        }
        FileReport& file = report.files.emplace_back(FileReport{input, {}, std::nullopt, {}, std::nullopt, false});
        platform::Path stagedPath;
        file.failure = produceFile(step, job, plan, input, stagedPath);
        file.size = job.written;
        file.metadataKept = job.metadataKept;
        file.alphaKept = job.alphaKept;
        deliverFile(file, stagedPath, plan);
        if (fileDone)
            fileDone(file, report.files.size() - 1, inputs.size());
    }
}

std::size_t keptPagesPerWorker(std::size_t workers)
{
    // An eighth of the budget for the blocks kept idle between files: in
    // the 32-bit program they take address space that the budget does not
    // count, and a worker short of memory gives its own back first.
    const std::uint64_t kept = platform::processMemoryBudget().total() / 8 / std::max<std::size_t>(workers, 1);
    return static_cast<std::size_t>(std::min<std::uint64_t>(kept, SIZE_MAX));
}

std::vector<std::unique_ptr<ScratchBuffers>> allocateWorkerScratch(std::size_t wanted)
{
    std::vector<std::unique_ptr<ScratchBuffers>> sets;
    while (sets.size() < wanted) {
        std::unique_ptr<ScratchBuffers> scratch = AllocateScratchBuffers(keptPagesPerWorker(wanted));
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
    std::unique_ptr<ScratchBuffers> scratch = AllocateScratchBuffers(batch::keptPagesPerWorker(1));
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

unsigned BatchWorkerCount(unsigned processors)
{
    // Each worker holds a decoded picture and its working copies at once; a
    // 32-bit process has 2 GB for all of them.
    constexpr unsigned kMaxWorkersIn32Bits = 4;
    const unsigned workers = processors == 0 ? 1 : processors;
    return sizeof(void*) < 8 ? std::min(workers, kMaxWorkersIn32Bits) : workers;
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
