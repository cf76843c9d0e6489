// The batch driver: turns a list of input paths into one output file each.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "convert/scratch_buffers.h"
#include "convert/format.h"
#include "convert/options.h"
#include "pixel/resize.h"

namespace vrelk {

// How a whole batch ended; the shells turn all but `done` into a message.
enum class BatchOutcome {
    done,              // at least one file converted, or there was nothing to do
    nothingConverted,
    badOutputFolder,
    folderNotCreated,  // the sub-folder could not be made
    badSubFolder,      // the sub-folder setting names no plain folder inside the output folder
    noMemory,
};

// One input of a batch: the output it gave, or why it was skipped.
struct FileReport {
    platform::Path input;
    platform::Path output;  // empty when skipped
    std::optional<FileFailure> failure;
    ImageSize size;  // of the picture written; zero when skipped
    std::optional<bool> timeKept;  // when asked for: whether the output got its input's time
    bool metadataKept = false;     // the output carries the input's Exif or XMP
    bool alphaKept = false;        // the output carries the input's transparency

    bool converted() const { return !failure; }
};

struct BatchReport {
    BatchOutcome outcome = BatchOutcome::done;
    std::vector<FileReport> files;  // the files tried, in input order
    bool cancelled = false;         // stopped on request before the last file
};

// Set by another thread to stop a batch: no file is started after it is seen.
using StopFlag = std::atomic<bool>;

// Called after each file, in input order.
using FileDone = std::function<void(const FileReport& report, std::size_t index, std::size_t count)>;

BatchReport RunBatch(std::span<const platform::Path> inputs, const ConvertOptions& options,
                     const FileDone& fileDone = {});

// The same batch on up to `jobs` threads, each with scratch buffers of its
// own. Files are delivered, and `fileDone` called, in input order, so every
// output gets the name the sequential batch would give it. After `stop` is
// set the files already started are finished and delivered, and no other.
BatchReport RunBatchInParallel(std::span<const platform::Path> inputs, const ConvertOptions& options, unsigned jobs,
                               const FileDone& fileDone = {}, const StopFlag* stop = nullptr);

// How many files a batch converts at once on `processors`: one each, but in
// a 32-bit process no more pictures than its address space holds side by side.
unsigned BatchWorkerCount(unsigned processors);

// One file of a batch, written under a staging name in the output folder;
// on success `stagedPath` names the finished output.
struct FileJob {
    const ConvertOptions& options;
    ScratchBuffers& scratch;
    const OutputFormat& output;
    ImageSize written{};  // the size of the picture the last step wrote
    bool metadataKept = false;  // and whether it carries the input's Exif or XMP
    bool alphaKept = false;     // and its transparency
    PluginTurns* pluginTurns = nullptr;  // a parallel batch's, with the file's place
    std::size_t file = 0;
};
std::optional<FileFailure> ConvertOneFile(FileJob& job, const platform::Path& outputFolder,
                                          const platform::Path& input, platform::Path& stagedPath);
std::optional<FileFailure> RecodeOneFile(FileJob& job, const platform::Path& outputFolder,
                                         const platform::Path& input, platform::Path& stagedPath);

// Leaves `path` alone when it is free, else turns it into the first free
// "name+N.ext" for N = 1..9999; false when all of those exist too.
bool MakeUniqueOutputPath(platform::Path& path, std::string_view extension);

// Names the finished staged file with the first free name from
// `outputPath` on. No file is ever replaced: a name taken between the check
// and the naming moves on to the next number. `written` receives the name
// used; the staged file is gone once it is named.
using PublishFn = platform::PublishResult (*)(const platform::Path& staged, const platform::Path& to);
std::optional<FileFailure> DeliverOutput(const platform::Path& stagedPath, const platform::Path& outputPath,
                                         std::string_view extension, platform::Path& written,
                                         PublishFn publish = platform::publishNoReplace);

// The long form of each argument; an argument that has none is passed on
// unchanged, so that a missing file fails on its own.
std::vector<platform::Path> inputsFromArguments(std::span<const platform::NativeString> arguments);

}  // namespace vrelk
