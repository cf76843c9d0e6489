#include "convert/batch.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "codecs/files.h"
#include "codecs/jpeg.h"

namespace vrelk {
namespace {

constexpr int kMaxOutputNumber = 9999;

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
    if (from == 0 && !platform::pathExists(path)) {
        used = 0;
        return true;
    }
    for (int number = from < 1 ? 1 : from; number <= kMaxOutputNumber; ++number) {
        platform::Path candidate = numberedPath(path, extension, number);
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
        if (!platform::folderExists(folder)) {
            if (!platform::createFolder(folder))
                return BatchOutcome::folderNotCreated;
            created = true;
        }
    }
    return folder;
}

bool reduceImage(CodecSet& codecs, DibImage& image, const ConvertOptions& options)
{
    CurrentImage current{&image, image.header.biWidth, image.header.biHeight, image.header.biBitCount};
    ReductionTools tools{codecs.converter24, codecs.resizeJob, codecs.filterJob, *codecs.tables};
    if (!reduceImage(tools, current, options.resizeMode, options.resizeSize))
        return false;
    // The header describes the pixels the writer gets.
    image.header.biWidth = current.width;
    image.header.biHeight = current.height;
    image.header.biBitCount = static_cast<std::uint16_t>(current.bitCount);
    return true;
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
    Result<DibImage, FileFailure> image = ReadImage(input, ReadContext{job.options, *job.codecs.tables});
    if (!image)
        return image.error();

    auto temp = platform::createTempFile(tempFolder);
    if (!temp)
        return skipped(SkipReason::noTempFile);
    tempPath = *temp;
    if (job.options.resize && !reduceImage(job.codecs, *image, job.options)) {
        platform::deleteFile(tempPath);
        return skipped(SkipReason::reduceFailed);
    }
    Status written = job.write(viewOf(*image), tempPath, job.options);
    if (!written) {
        platform::deleteFile(tempPath);
        return skipped(SkipReason::writeFailed, written.error());
    }
    return std::nullopt;
}

std::optional<FileFailure> RecodeOneFile(FileJob&, const platform::Path& tempFolder, const platform::Path& input,
                                         platform::Path& tempPath)
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
        return RecodeJpeg(mapped->cursor(), tempPath);
    }();
    if (!recoded) {
        platform::deleteFile(tempPath);
        return skipped(SkipReason::readFailed, recoded.error());
    }
    return std::nullopt;
}

namespace {

// What every file of a batch shares once the batch has started.
struct BatchPlan {
    OutputChoice choice;
    platform::Path outputFolder;
    bool createdSubFolder = false;
    platform::Path tempFolder;
};

Result<BatchPlan, BatchOutcome> planBatch(std::span<const platform::Path> inputs, const ConvertOptions& options)
{
    BatchPlan plan;
    plan.choice = SelectOutput(options.outputType);
    auto folder = settleOutputFolder(inputs.front(), options, plan.createdSubFolder);
    if (!folder)
        return folder.error();
    plan.outputFolder = std::move(*folder);
    plan.tempFolder = platform::tempFolder().value_or(platform::Path());
    return plan;
}

using FileStep = std::optional<FileFailure> (*)(FileJob&, const platform::Path&, const platform::Path&,
                                                platform::Path&);

FileStep stepFor(const OutputChoice& choice)
{
    return choice.step == PerFileStep::recode ? RecodeOneFile : ConvertOneFile;
}

// A FIFO or a device would block the read, and a folder has no image.
std::optional<FileFailure> produceFile(FileStep step, FileJob& job, const platform::Path& tempFolder,
                                       const platform::Path& input, platform::Path& tempPath)
{
    if (platform::pathExists(input) && !platform::isRegularFile(input))
        return skipped(SkipReason::notRegularFile);
    return step(job, tempFolder, input, tempPath);
}

// Copies a produced file under its output name and drops the temporary file.
void deliverFile(FileReport& file, const platform::Path& tempPath, const BatchPlan& plan)
{
    if (file.failure)
        return;
    platform::Path outputPath = plan.outputFolder / file.input.filename();
    outputPath.replace_extension(platform::fromUtf8(plan.choice.extension));
    file.failure = DeliverOutput(tempPath, outputPath, plan.choice.extension, file.output);
    platform::deleteFile(tempPath);
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
                     CodecSet& codecs, const FileDone& fileDone, BatchReport& report)
{
    FileJob job{options, codecs, plan.choice.write};
    const FileStep step = stepFor(plan.choice);
    for (const platform::Path& input : inputs) {
        FileReport& file = report.files.emplace_back(FileReport{input, {}, std::nullopt});
        platform::Path tempPath;
        file.failure = produceFile(step, job, plan.tempFolder, input, tempPath);
        deliverFile(file, tempPath, plan);
        if (fileDone)
            fileDone(file, report.files.size() - 1, inputs.size());
    }
}

// Workers read, reduce and write temporary files in any order; the calling
// thread delivers them strictly in input order, so every output gets the
// name a sequential run would give it. Workers stay at most `window` files
// ahead of delivery, which bounds the temporary files waiting on disk.
class ParallelRun {
public:
    ParallelRun(std::span<const platform::Path> inputs, const ConvertOptions& options, const BatchPlan& plan,
                std::size_t window)
        : inputs_(inputs), options_(options), plan_(plan), window_(window), produced_(inputs.size())
    {
    }

    void work(CodecSet& codecs)
    {
        FileJob job{options_, codecs, plan_.choice.write};
        const FileStep step = stepFor(plan_.choice);
        while (auto index = claimNext()) {
            Produced result;
            result.failure = produceFile(step, job, plan_.tempFolder, inputs_[*index], result.tempPath);
            result.ready = true;
            {
                std::lock_guard lock(mutex_);
                produced_[*index] = std::move(result);
            }
            readyChanged_.notify_all();
        }
    }

    void deliverAll(const FileDone& fileDone, BatchReport& report)
    {
        for (std::size_t index = 0; index < inputs_.size(); ++index) {
            Produced produced = waitFor(index);
            FileReport& file = report.files.emplace_back(FileReport{inputs_[index], {}, produced.failure});
            deliverFile(file, produced.tempPath, plan_);
            {
                std::lock_guard lock(mutex_);
                delivered_ = index + 1;
            }
            roomChanged_.notify_all();
            if (fileDone)
                fileDone(file, index, inputs_.size());
        }
    }

private:
    struct Produced {
        bool ready = false;
        std::optional<FileFailure> failure;
        platform::Path tempPath;
    };

    std::optional<std::size_t> claimNext()
    {
        std::unique_lock lock(mutex_);
        roomChanged_.wait(lock, [&] { return next_ >= inputs_.size() || next_ < delivered_ + window_; });
        if (next_ >= inputs_.size())
            return std::nullopt;
        return next_++;
    }

    Produced waitFor(std::size_t index)
    {
        std::unique_lock lock(mutex_);
        readyChanged_.wait(lock, [&] { return produced_[index].ready; });
        return std::move(produced_[index]);
    }

    std::span<const platform::Path> inputs_;
    const ConvertOptions& options_;
    const BatchPlan& plan_;
    const std::size_t window_;
    std::mutex mutex_;
    std::condition_variable readyChanged_;
    std::condition_variable roomChanged_;
    std::vector<Produced> produced_;
    std::size_t next_ = 0;
    std::size_t delivered_ = 0;
};

// Up to `wanted` codec sets; fewer when memory runs short.
std::vector<std::unique_ptr<CodecSet>> allocateCodecSets(std::size_t wanted)
{
    std::vector<std::unique_ptr<CodecSet>> sets;
    while (sets.size() < wanted) {
        std::unique_ptr<CodecSet> codecs = AllocateCodecSet();
        if (!codecs)
            break;
        sets.push_back(std::move(codecs));
    }
    return sets;
}

BatchReport runBatch(std::span<const platform::Path> inputs, const ConvertOptions& options, unsigned jobs,
                     const FileDone& fileDone)
{
    BatchReport report;
    if (inputs.empty())
        return report;
    auto plan = planBatch(inputs, options);
    if (!plan) {
        report.outcome = plan.error();
        return report;
    }
    std::vector<std::unique_ptr<CodecSet>> codecs = allocateCodecSets(std::clamp<std::size_t>(jobs, 1, inputs.size()));
    if (codecs.empty()) {
        report.outcome = BatchOutcome::noMemory;
        return report;
    }

    report.files.reserve(inputs.size());
    if (codecs.size() == 1) {
        runSequentially(inputs, options, *plan, *codecs.front(), fileDone, report);
    } else {
        ParallelRun run(inputs, options, *plan, 2 * codecs.size());
        std::vector<std::jthread> workers;
        for (std::unique_ptr<CodecSet>& set : codecs) {
            try {
                workers.emplace_back([&run, &set] { run.work(*set); });
            } catch (const std::system_error&) {
                break;  // the threads already running do the work
            }
        }
        if (workers.empty())
            runSequentially(inputs, options, *plan, *codecs.front(), fileDone, report);
        else
            run.deliverAll(fileDone, report);
    }
    codecs.clear();
    finishBatch(report, *plan);
    return report;
}

}  // namespace

BatchReport RunBatch(std::span<const platform::Path> inputs, const ConvertOptions& options,
                     const FileDone& fileDone)
{
    return runBatch(inputs, options, 1, fileDone);
}

BatchReport RunBatchInParallel(std::span<const platform::Path> inputs, const ConvertOptions& options, unsigned jobs,
                               const FileDone& fileDone)
{
    return runBatch(inputs, options, jobs, fileDone);
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
