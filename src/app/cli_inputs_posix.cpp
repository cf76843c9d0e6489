// Where a run's inputs come from besides its arguments: a list of names
// (from a file or standard input), and folders walked for their pictures.
#include "app/cli_inputs_posix.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <iostream>
#include <set>
#include <utility>

#include "convert/format_table.h"
#include "platform/platform.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;

// A folder by device and inode: a link that leads back to a folder already
// walked names the same pair.
using FolderId = std::pair<dev_t, ino_t>;

std::optional<FolderId> folderId(const platform::Path& folder)
{
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return std::nullopt;
    return FolderId{info.st_dev, info.st_ino};
}

struct Walk {
    std::int32_t outputType;
    const std::optional<platform::Path>& outputRoot;
    RunInputs& inputs;
    std::set<FolderId> seen;
    // Pictures written by this run are never its inputs, also when the
    // output folder lies inside a folder walked.
    std::optional<FolderId> outputId;
};

struct FolderEntries {
    std::vector<platform::NativeString> files;
    std::vector<platform::NativeString> folders;
};

// The entries by name, links followed, so that the order is the same on
// every file system.
FolderEntries listFolder(const platform::Path& folder, std::size_t& others)
{
    FolderEntries entries;
    std::error_code error;
    for (fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, error), end;
         !error && it != end; it.increment(error)) {
        std::error_code typeError;
        const fs::file_status status = it->status(typeError);
        const platform::NativeString name = it->path().filename().native();
        if (fs::is_directory(status))
            entries.folders.push_back(name);
        else if (fs::is_regular_file(status))
            entries.files.push_back(name);
        else
            ++others;
    }
    std::sort(entries.files.begin(), entries.files.end());
    std::sort(entries.folders.begin(), entries.folders.end());
    return entries;
}

void walkFolder(Walk& walk, const platform::Path& folder, const platform::Path& shown, const platform::Path& relative)
{
    const std::optional<FolderId> id = folderId(folder);
    const bool named = relative.empty();
    if (!id || (!named && id == walk.outputId) || !walk.seen.insert(*id).second)
        return;
    const FolderEntries entries = listFolder(folder, walk.inputs.notPictures);
    const platform::Path outputFolder = walk.outputRoot ? (*walk.outputRoot / relative).lexically_normal() : folder;
    for (const platform::NativeString& name : entries.files) {
        if (!IsPictureFor(folder / name, walk.outputType)) {
            ++walk.inputs.notPictures;
            continue;
        }
        walk.inputs.files.push_back(RunInput{(shown / name).native(), outputFolder});
    }
    for (const platform::NativeString& name : entries.folders)
        walkFolder(walk, folder / name, shown / name, relative / name);
}

void addInput(Walk& walk, const platform::NativeString& name, bool recursive)
{
    const platform::Path path(name);
    if (recursive && platform::folderExists(path)) {
        std::error_code error;
        const platform::Path folder = fs::absolute(path, error).lexically_normal();
        if (!error) {
            walkFolder(walk, folder, path, platform::Path());
            return;
        }
    }
    walk.inputs.files.push_back(RunInput{name, std::nullopt});
}

}  // namespace

std::vector<platform::NativeString> ReadNameList(std::istream& list, bool nullSeparated)
{
    std::vector<platform::NativeString> names;
    std::string name;
    while (std::getline(list, name, nullSeparated ? '\0' : '\n'))
        if (!name.empty())
            names.push_back(name);
    return names;
}

bool IsPictureFor(const platform::Path& file, std::int32_t outputType)
{
    platform::File opened = platform::File::openRead(file);
    if (!opened.isOpen())
        return false;
    std::array<std::uint8_t, 16> head{};
    const FormatCode code = SniffFormat(std::span<const std::uint8_t>(head).first(opened.read(head)));
    if (outputType == kOutputRecode)
        return code == kFormatJpeg;
    return code != kFormatTooShort && InputFormatOf(code) != nullptr;
}

RunInputs GatherInputs(const CommandLine& line, std::int32_t outputType,
                       const std::optional<platform::Path>& outputRoot)
{
    RunInputs inputs;
    Walk walk{outputType, outputRoot, inputs, {}, outputRoot ? folderId(*outputRoot) : std::nullopt};
    const bool recursive = line.options.recursive;
    for (const platform::NativeString& name : line.files)
        addInput(walk, name, recursive);
    if (!line.options.filesFrom)
        return inputs;
    std::vector<platform::NativeString> listed;
    if (*line.options.filesFrom == "-") {
        listed = ReadNameList(std::cin, line.options.nullSeparated);
    } else {
        // A folder opens as a stream that reads nothing.
        std::ifstream list(*line.options.filesFrom, std::ios::binary);
        if (!list || platform::folderExists(platform::Path(*line.options.filesFrom))) {
            inputs.problem = "cannot read the file list " + *line.options.filesFrom;
            return inputs;
        }
        listed = ReadNameList(list, line.options.nullSeparated);
    }
    for (const platform::NativeString& name : listed)
        addInput(walk, name, recursive);
    return inputs;
}

}  // namespace vrelk
