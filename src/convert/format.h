// Read dispatch: a file read once into memory, its format told from its
// first bytes, its reader run, and the plug-ins asked when that fails.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "codecs/codec.h"
#include "convert/format_table.h"
#include "convert/options.h"
#include "picture/picture.h"
#include "platform/platform.h"
#include "pixel/lookup_tables.h"

namespace vrelk {

// Why a file of a batch produced no output.
enum class SkipReason {
    missing,       // no file at the path
    tooShort,      // empty, or too short to tell its format
    unrecognised,  // no reader and no plug-in takes it
    readFailed,    // its reader refused it (see the codec error)
    reduceFailed,
    noTempFile,    // no file can be made in the output folder
    writeFailed,   // the writer failed (see the codec error)
    noFreeName,    // every numbered output name is taken
    publishFailed, // the finished file could not be flushed or named
    notRegularFile,  // a folder, FIFO or device
    batchStopped,    // the batch ended before this file, by a failure elsewhere
    notJpeg,         // given to the lossless JPEG re-encode
};

struct FileFailure {
    SkipReason reason;
    std::optional<CodecError> error;
};

// The workers of a parallel batch take the plug-ins in input order, so that
// the filters see the files as a run with one worker shows them. A file
// waits for its turn only when it is about to ask the plug-ins.
class PluginTurns {
public:
    explicit PluginTurns(std::size_t files);

    // Returns once every earlier file has passed its read.
    void await(std::size_t file);
    // The file will ask the plug-ins no more; saying so twice is harmless.
    void passed(std::size_t file);

private:
    platform::Mutex mutex_;
    platform::ConditionVariable changed_;
    std::vector<bool> passed_;
    std::size_t firstPending_ = 0;
};

// Why an input that cannot be reached was skipped: missing, or a loop of
// links or a name too long for the system.
FileFailure UnreachableInput(platform::IoFailure failure);

// What a read needs besides the file.
struct ReadContext {
    const ConvertOptions& options;
    const LookupTables& tables;
    PluginTurns* turns = nullptr;  // in a parallel batch: this file's place
    std::size_t file = 0;
    ReadLimits limits{};
    bool keepAlpha = false;  // transparency wanted, and the output carries it
};

// Reads the file, runs the reader of its format and offers the file to the
// plug-ins when that reader fails or none is known.
Result<Picture, FileFailure> ReadImage(const platform::Path& path, const ReadContext& context);

// The import plug-ins; the Windows program's host reads with them, the
// native program has none.
Result<Picture> ReadWithPlugin(const platform::Path& path, const ConvertOptions& options);

}  // namespace vrelk
