// The options record and its INI file "Vrelk.ini", section "SImg".
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "app/shell_os.h"

namespace vrelk {

struct Settings {
    std::int32_t outputType = 0;  // the current run's output; never stored
    std::int32_t Quality = 75;
    std::int32_t Sampling = 0;
    bool Limit = false;
    std::int32_t LmtVal = 100;
    bool Resize = false;
    std::int32_t RszOpt = 2;
    std::int32_t RszSize = 100;
    platform::Path OutDir;
    bool MkDirAdd = false;
    platform::NativeString MkDirStr = platform::fromUtf8("Output");
    bool UseSpi = true;
    platform::Path SPI;
    bool OldCheck = false;
    std::int32_t DrctCvt = 0;
};

// Where the settings go when the user has no settings folder and no file
// lies beside the program.
enum class WithoutUserFolder {
    besideProgram,  // made there on the first save
    nowhere,        // the defaults apply and nothing is written
};

// Settles where the settings live for an executable at `executable`, with
// `userRoot` the per-user folder that holds the program's "Vrelk" folder.
// False when the executable does not carry the program's name; an empty
// path when the settings are kept nowhere.
std::optional<platform::Path> locateSettingsFileFor(const platform::Path& executable,
                                                    const std::optional<platform::Path>& userRoot,
                                                    WithoutUserFolder fallback = WithoutUserFolder::besideProgram);

// The same for the running program.
std::optional<platform::Path> LocateSettingsFile(WithoutUserFolder fallback = WithoutUserFolder::besideProgram);

// The fourteen stored keys with their values, in file order.
std::array<shell::IniEntry, 14> settingsEntries(const Settings& settings);

// A file that does not exist, the empty path included, gives the defaults.
Settings LoadSettings(const platform::Path& iniPath);
// False when the file could not be written. The shells do not report it:
// the values are simply not kept.
bool SaveSettings(const Settings& settings, const platform::Path& iniPath);

// The folder checks of applying the controls: a stored output folder or
// plug-in folder that no longer exists is dropped (plug-ins then go off).
void applyFolderChecks(Settings& settings);

}  // namespace vrelk
