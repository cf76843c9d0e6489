// The shell's side of the operating system on POSIX: where the program and
// its settings live, and messages on standard error.
#include "app/shell_os.h"

#include <sys/stat.h>

#include <cstdlib>
#include <iostream>

namespace vrelk::shell {

using platform::Path;

const std::string_view kExecutableName = "vrelk";

Path executablePath()
{
    std::error_code ec;
    Path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? Path() : self;
}

namespace {

bool isExistingFolder(const char* path) { return path && *path == '/' && platform::folderExists(path); }

}  // namespace

// XDG_CONFIG_HOME when set, else ~/.config, made when missing (only the
// owner may enter it) inside a home that exists. Neither is made beyond
// that: an account whose HOME names nothing, such as HOME=/nonexistent for
// a service, or whose XDG_CONFIG_HOME does not exist yet, has no settings
// folder rather than settings somewhere it did not ask for.
std::optional<Path> userSettingsRoot()
{
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
        return isExistingFolder(xdg) ? std::optional(Path(xdg)) : std::nullopt;
    const char* home = std::getenv("HOME");
    if (!isExistingFolder(home))
        return std::nullopt;
    Path root = Path(home) / ".config";
    if (!platform::folderExists(root) && platform::createFolder(root))
        ::chmod(root.c_str(), 0700);
    return platform::folderExists(root) ? std::optional(root) : std::nullopt;
}

// ---- Messages --------------------------------------------------------------------

void showMessage(void*, std::string_view textUtf8, std::string_view captionUtf8)
{
    std::cerr << captionUtf8 << ": " << textUtf8 << std::endl;
}

}  // namespace vrelk::shell
