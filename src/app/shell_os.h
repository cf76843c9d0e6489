// What the shells need from the operating system besides the engine's
// platform layer: the program's own location and settings folder, the
// private-profile store and messages. What only Windows has is in
// shell_os_win32.h.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace vrelk::shell {

using platform::NativeString;
using platform::Path;

// The program's file name as the settings lookup expects it.
extern const std::string_view kExecutableName;

Path executablePath();
// Per-user folder that holds the program's settings folder; nullopt when
// the platform cannot name one.
std::optional<Path> userSettingsRoot();

// Private-profile (INI) store. Integer reads accept an optional sign and
// leading decimal digits; anything else reads as 0. Missing keys give the
// default.
int iniReadInt(const Path& file, std::string_view section, std::string_view key, int fallback);
NativeString iniReadString(const Path& file, std::string_view section, std::string_view key,
                           const NativeString& fallback);
struct IniEntry {
    std::string_view key;
    NativeString value;
};
// Removes the section and writes it anew with the entries in order.
bool iniReplaceSection(const Path& file, std::string_view section, std::span<const IniEntry> entries);

// User-visible messages. On POSIX they go to standard error as "caption: text".
void showMessage(void* owner, std::string_view textUtf8, std::string_view captionUtf8);

}  // namespace vrelk::shell
