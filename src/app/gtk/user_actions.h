// The file-manager entries a user installs for themselves: Nautilus
// scripts and Thunar custom actions, which have no system-wide folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/messages.h"
#include "platform/platform.h"

namespace vrelk::desktop {

struct UserActionFolders {
    platform::Path nautilusScripts;  // Nautilus' scripts folder
    platform::Path thunarActions;    // Thunar's uca.xml
};

// From XDG_DATA_HOME and XDG_CONFIG_HOME, or their defaults under HOME;
// none without either.
std::optional<UserActionFolders> userActionFolders();

// The program's entries, each starting `program`: "convert" with the format
// window and one per direct format. Installing again replaces ours and
// leaves every other entry as it was. The result names what failed.
std::optional<std::string> InstallUserActions(const platform::Path& program, const UserActionFolders& folders,
                                              Language language);
std::optional<std::string> RemoveUserActions(const UserActionFolders& folders);

// `text` as one word of a POSIX shell command line.
std::string shellQuoted(std::string_view text);

}  // namespace vrelk::desktop
