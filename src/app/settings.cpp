#include "app/settings.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

namespace vrelk {
namespace {

constexpr std::string_view kSection = "SImg";
constexpr std::string_view kFileName = "Vrelk.ini";
constexpr std::string_view kFolderName = "Vrelk";
// Strings are read through a 260-unit buffer, terminator included.
constexpr std::size_t kMaxStringUnits = 259;

// The program's own name is ASCII, so ASCII folding is enough.
bool sameNameIgnoringCase(const platform::NativeString& a, const platform::NativeString& b)
{
    auto fold = [](auto c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](auto x, auto y) { return fold(x) == fold(y); });
}

int readInt(const platform::Path& file, std::string_view key, int fallback)
{
    return shell::iniReadInt(file, kSection, key, fallback);
}

bool readFlag(const platform::Path& file, std::string_view key, int fallback)
{
    return (readInt(file, key, fallback) & 1) != 0;
}

// UTF-16 units of the character that begins at `at`, or 0 inside one: a
// lead byte or a high surrogate begins one, a continuation byte or a low
// surrogate does not.
[[maybe_unused]] std::size_t unitsOfCharacterAt(const std::string& text, std::size_t at)
{
    const auto byte = static_cast<unsigned char>(text[at]);
    if ((byte & 0xC0) == 0x80)
        return 0;
    return byte >= 0xF0 ? 2 : 1;
}

[[maybe_unused]] std::size_t unitsOfCharacterAt(const std::wstring& text, std::size_t at)
{
    const auto unit = static_cast<std::uint32_t>(text[at]);
    return unit >= 0xDC00 && unit <= 0xDFFF ? 0 : 1 + (unit >= 0xD800 && unit <= 0xDBFF);
}

// The longest whole-character beginning of `value` of at most `limit`
// UTF-16 units, which is how the Windows program counts.
void keepWholeCharacters(platform::NativeString& value, std::size_t limit)
{
    std::size_t units = 0;
    for (std::size_t at = 0; at < value.size(); ++at) {
        const std::size_t width = unitsOfCharacterAt(value, at);
        if (width != 0 && units + width > limit) {
            value.resize(at);
            return;
        }
        units += width;
    }
}

platform::NativeString readString(const platform::Path& file, std::string_view key,
                                  std::string_view fallback)
{
    platform::NativeString value =
        shell::iniReadString(file, kSection, key, platform::fromUtf8(fallback));
    keepWholeCharacters(value, kMaxStringUnits);
    return value;
}

platform::NativeString decimal(std::int32_t value) { return platform::fromUtf8(std::to_string(value)); }

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
    // The per-user folder is only asked for (and possibly made) when no
    // settings file lies beside the program.
    platform::Path executable = shell::executablePath();
    platform::Path beside = executable.parent_path() / kFileName;
    bool portable = platform::pathExists(beside) && !platform::folderExists(beside);
    return locateSettingsFileFor(executable, portable ? std::nullopt : shell::userSettingsRoot(), fallback);
}

Settings LoadSettings(const platform::Path& iniPath)
{
    Settings s;
    s.Quality = readInt(iniPath, "Quality", 75);
    s.Sampling = readInt(iniPath, "Sampling", 0);
    s.Limit = readFlag(iniPath, "Limit", 0);
    s.LmtVal = readInt(iniPath, "LmtVal", 100);
    s.Resize = readFlag(iniPath, "Resize", 0);
    s.RszOpt = readInt(iniPath, "RszOpt", 2);
    s.RszSize = readInt(iniPath, "RszSize", 100);
    s.OutDir = readString(iniPath, "OutDir", "");
    s.MkDirAdd = readFlag(iniPath, "MkDirAdd", 0);
    s.MkDirStr = readString(iniPath, "MkDirStr", "Output");
    s.UseSpi = readFlag(iniPath, "UseSpi", 1);
    platform::Path spi = readString(iniPath, "SPI", "");
    if (pluginFolderExists(spi)) {
        s.SPI = spi;
    } else {
        s.SPI.clear();
        s.UseSpi = false;
    }
    s.OldCheck = readFlag(iniPath, "OldCheck", 0);
    // Anything but a fixed output would leave the output choice without a
    // selection, and a drop would then be kept with no window to finish it.
    s.DrctCvt = readInt(iniPath, "DrctCvt", 0);
    if (s.DrctCvt < 1 || s.DrctCvt > 6)
        s.DrctCvt = 0;
    return s;
}

std::array<shell::IniEntry, 14> settingsEntries(const Settings& s)
{
    return {{
        {"Quality", decimal(s.Quality)},
        {"Sampling", decimal(s.Sampling)},
        {"Limit", decimal(s.Limit)},
        {"LmtVal", decimal(s.LmtVal)},
        {"Resize", decimal(s.Resize)},
        {"RszOpt", decimal(s.RszOpt)},
        {"RszSize", decimal(s.RszSize)},
        {"OutDir", s.OutDir.native()},
        {"MkDirAdd", decimal(s.MkDirAdd)},
        {"MkDirStr", s.MkDirStr},
        {"UseSpi", decimal(s.UseSpi)},
        {"SPI", s.SPI.native()},
        {"OldCheck", decimal(s.OldCheck)},
        {"DrctCvt", decimal(s.DrctCvt)},
    }};
}

bool SaveSettings(const Settings& s, const platform::Path& iniPath)
{
    const auto entries = settingsEntries(s);
    return shell::iniReplaceSection(iniPath, kSection, entries);
}

void applyFolderChecks(Settings& settings)
{
    if (!settings.OutDir.empty() && !platform::folderExists(settings.OutDir))
        settings.OutDir.clear();
    if (!pluginFolderExists(settings.SPI)) {
        settings.SPI.clear();
        settings.UseSpi = false;
    }
}

}  // namespace vrelk
