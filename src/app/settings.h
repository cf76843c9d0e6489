// The options record and its INI file "Vrelk.ini", section "SImg".
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "app/settings_table.h"
#include "app/shell_os.h"

namespace vrelk {

// Each field's default is its key's in the settings table.
struct Settings {
    std::int32_t outputType = 0;  // the current run's output; never stored
    std::int32_t Quality = keys::kQuality.fallback;
    std::int32_t Sampling = keys::kSampling.fallback;
    bool Limit = keys::kLimit.fallback != 0;
    std::int32_t LmtVal = keys::kLmtVal.fallback;
    bool Resize = keys::kResize.fallback != 0;
    std::int32_t RszOpt = keys::kRszOpt.fallback;
    std::int32_t RszSize = keys::kRszSize.fallback;
    platform::Path OutDir = platform::fromUtf8(keys::kOutDir.fallback);
    bool MkDirAdd = keys::kMkDirAdd.fallback != 0;
    platform::NativeString MkDirStr = platform::fromUtf8(keys::kMkDirStr.fallback);
    bool UseSpi = keys::kUseSpi.fallback != 0;
    platform::Path SPI = platform::fromUtf8(keys::kSPI.fallback);
    bool OldCheck = keys::kOldCheck.fallback != 0;
    std::int32_t DrctCvt = keys::kDrctCvt.fallback;
    bool KeepAlpha = keys::kKeepAlpha.fallback != 0;
    std::int32_t KeepMeta = keys::kKeepMeta.fallback;
    bool KeepTime = keys::kKeepTime.fallback != 0;
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

// The same for the running program, or for a program of this one's
// family that shares its settings (the desktop program shares vrelk's).
std::optional<platform::Path> LocateSettingsFile(WithoutUserFolder fallback = WithoutUserFolder::besideProgram);
std::optional<platform::Path> LocateSettingsFile(WithoutUserFolder fallback, const platform::Path& executable);

// The stored keys with their values, in file order.
std::array<shell::IniEntry, kStoredKeyCount> settingsEntries(const Settings& settings);

// A file that does not exist, the empty path included, gives the defaults.
Settings LoadSettings(const platform::Path& iniPath);
// False when the file could not be written. The shells do not report it:
// the values are simply not kept.
bool SaveSettings(const Settings& settings, const platform::Path& iniPath);
// Makes the settings file only where there is none: written whole under a
// name of its own, then named, so a file the user saved meanwhile (a run
// may last hours) stays as it is. False when it was not made.
bool CreateSettingsFile(const Settings& settings, const platform::Path& iniPath);

// The folder checks of applying the controls: a stored output folder or
// plug-in folder that no longer exists is dropped (plug-ins then go off).
void applyFolderChecks(Settings& settings);
// Its second half: without its folder, plug-ins go off.
void dropMissingPluginFolder(Settings& settings);

// What a shell without the settings window applies before a batch: the
// quality bounded as the window's up-down holds it, and the folder checks.
// Sizes are left as they are, for the batch to refuse when out of range.
void applyControlBounds(Settings& settings);

}  // namespace vrelk
