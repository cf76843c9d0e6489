// The inputs of a vrelk run: the FILE arguments, the names a list gives,
// and the pictures found in folders with --recursive, each with the folder
// its output goes to.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "app/cli_posix.h"

namespace vrelk {

struct RunInput {
    platform::NativeString name;  // as the user wrote it, or the folder's name joined with the path found
    // Where its output goes, when not the run's own output folder: the
    // found picture's relative folder under the output folder, or its own
    // folder when the run names none.
    std::optional<platform::Path> outputFolder;
};

struct RunInputs {
    std::vector<RunInput> files;
    std::size_t notPictures = 0;  // in the folders walked, left out silently
    std::string problem;          // a file list that cannot be read
};

// The names of a file list: one a line, or ending with NUL. An empty
// name is no file.
std::vector<platform::NativeString> ReadNameList(std::istream& list, bool nullSeparated);

// Whether a file is a picture the run can take, from its first bytes: any
// picture, or a JPEG for the lossless re-encode.
bool IsPictureFor(const platform::Path& file, std::int32_t outputType);

// Every input of the run in order: the arguments, then the list's names.
// Folders are walked with `recursive` (in name order, the files of a folder
// before its sub-folders, each folder once however links lead back to it).
// `outputRoot` is the run's output folder when the user or the settings
// named one.
RunInputs GatherInputs(const CommandLine& line, std::int32_t outputType,
                       const std::optional<platform::Path>& outputRoot);

}  // namespace vrelk
