// The steps of a batch that the sequential batch and the parallel one
// share.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "convert/batch.h"

namespace vrelk::batch {

// What every file of a batch shares once the batch has started.
struct BatchPlan {
    const OutputFormat* output = nullptr;
    platform::Path outputFolder;
    bool createdSubFolder = false;
    bool keepTime = false;
};

// Settles the output folder (making the sub-folder) and the writer.
Result<BatchPlan, BatchOutcome> planBatch(std::span<const platform::Path> inputs, const ConvertOptions& options);

using FileStep = std::optional<FileFailure> (*)(FileJob&, const platform::Path&, const platform::Path&,
                                                platform::Path&);
FileStep stepFor(const OutputFormat& output);

// The per-file step for a regular file; a FIFO or a device would block the
// read, and a folder has no image.
std::optional<FileFailure> produceFile(FileStep step, FileJob& job, const BatchPlan& plan,
                                       const platform::Path& input, platform::Path& stagedPath);

// Gives a produced file its output name, or removes it when it gets none.
void deliverFile(FileReport& file, const platform::Path& stagedPath, const BatchPlan& plan);

// Removes a sub-folder this batch made when nothing was converted into it.
void finishBatch(BatchReport& report, const BatchPlan& plan);

void runSequentially(std::span<const platform::Path> inputs, const ConvertOptions& options, const BatchPlan& plan,
                     ScratchBuffers& scratch, const FileDone& fileDone, BatchReport& report,
                     const StopFlag* stop = nullptr);

// What each of `workers` keeps of its pixel memory between files.
std::size_t keptPagesPerWorker(std::size_t workers);

// Up to `wanted` codec sets; fewer when memory runs short.
std::vector<std::unique_ptr<ScratchBuffers>> allocateWorkerScratch(std::size_t wanted);

}  // namespace vrelk::batch
