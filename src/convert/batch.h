// The batch driver: turns a list of input paths into one output file each.
#pragma once

#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "app/settings.h"
#include "convert/format.h"

namespace vrelk {

// The five whole-batch messages.
enum ErrorCode : int {
    kErrorNoMemory = 0,
    kErrorStartup = 1,
    kErrorNothingConverted = 2,
    kErrorBadOutputFolder = 3,
    kErrorFolderCreate = 4,
};

std::string_view errorText(ErrorCode code);
inline constexpr std::string_view kErrorCaption = "Error";

// Message box with the code's text, caption "Error", owned by `owner`.
void ShowError(void* owner, ErrorCode code);

// What the batch needs from the shell that starts it.
struct BatchHost {
    Settings& settings;
    // Copies the settings window's controls into the settings.
    std::function<void(Settings&)> applyControls;
    std::function<void(ErrorCode)> showError;
};

// False when the batch was abandoned before its first file.
bool RunBatch(std::span<const platform::Path> inputs, BatchHost& host);

// One file of a batch; on success `tempPath` names the finished output.
struct FileJob {
    CodecContext& context;
    WriteStep write;
};
bool ConvertOneFile(FileJob& job, const platform::Path& tempFolder, const platform::Path& input,
                    platform::Path& tempPath);
bool RecodeOneFile(FileJob& job, const platform::Path& tempFolder, const platform::Path& input,
                   platform::Path& tempPath);

// Leaves `path` alone when it is free, else turns it into the first free
// "name+N.ext" for N = 1..9999; false when all of those exist too.
bool MakeUniqueOutputPath(platform::Path& path, std::string_view extension);

// The long form of each argument; an argument that has none is passed on
// unchanged, so that a missing file fails on its own.
std::vector<platform::Path> inputsFromArguments(std::span<const platform::NativeString> arguments);

}  // namespace vrelk
