#include "app/settings.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

namespace vrelk {
namespace {

constexpr std::string_view kFileName = "Vrelk.ini";
constexpr std::string_view kFolderName = "Vrelk";

// The program's own name is ASCII, so ASCII folding is enough.
bool sameNameIgnoringCase(const platform::NativeString& a, const platform::NativeString& b)
{
    auto fold = [](auto c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](auto x, auto y) { return fold(x) == fold(y); });
}

// A relative plug-in folder is taken from the program's folder, as the
// plug-in host takes it, not from wherever the program was started.
bool pluginFolderExists(const platform::Path& spi)
{
    if (spi.empty())
        return false;
    return platform::folderExists(spi.is_relative() ? shell::executablePath().parent_path() / spi : spi);
}

}  // namespace

std::optional<platform::Path> locateSettingsFileFor(const platform::Path& executable,
                                                    const std::optional<platform::Path>& userRoot,
                                                    WithoutUserFolder fallback)
{
    if (!sameNameIgnoringCase(executable.filename().native(), platform::fromUtf8(shell::kExecutableName)))
        return std::nullopt;

    platform::Path besideExecutable = executable.parent_path() / kFileName;
    if (platform::pathExists(besideExecutable) && !platform::folderExists(besideExecutable))
        return besideExecutable;
    if (!userRoot)
        return fallback == WithoutUserFolder::besideProgram ? besideExecutable : platform::Path();

    platform::Path folder = *userRoot / kFolderName;
    if (!platform::folderExists(folder))
        platform::createFolder(folder);
    return folder / kFileName;
}

std::optional<platform::Path> LocateSettingsFile(WithoutUserFolder fallback)
{
    return LocateSettingsFile(fallback, shell::executablePath());
}

std::optional<platform::Path> LocateSettingsFile(WithoutUserFolder fallback, const platform::Path& executable)
{
    // The per-user folder is only asked for (and possibly made) when no
    // settings file lies beside the program.
    platform::Path beside = executable.parent_path() / kFileName;
    bool portable = platform::pathExists(beside) && !platform::folderExists(beside);
    return locateSettingsFileFor(executable, portable ? std::nullopt : shell::userSettingsRoot(), fallback);
}

void applyFolderChecks(Settings& settings)
{
    if (!settings.OutDir.empty() && !platform::folderExists(settings.OutDir))
        settings.OutDir.clear();
    dropMissingPluginFolder(settings);
}

void dropMissingPluginFolder(Settings& settings)
{
    if (!pluginFolderExists(settings.SPI)) {
        settings.SPI.clear();
        settings.UseSpi = false;
    }
}

void applyControlBounds(Settings& settings)
{
    settings.Quality = std::clamp(settings.Quality, keys::kQuality.low, keys::kQuality.high);
    applyFolderChecks(settings);
}

}  // namespace vrelk
