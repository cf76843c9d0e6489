// The shell's side of the operating system on POSIX: where the program and
// its settings live, messages on standard error, no windows and no COM.
#include "app/shell_os.h"

#include <sys/stat.h>

#include <cstdlib>
#include <iostream>

namespace vrelk::shell {

using platform::Path;

const std::string_view kExecutableName = "vrelk";

OsVersion osVersion()
{
    // The start-up check only refuses Windows versions older than XP; any
    // POSIX system passes as a current one.
    return {10, 0};
}

Path executablePath()
{
    std::error_code ec;
    Path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? Path() : self;
}

namespace {

std::optional<Path> configHome()
{
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
        return Path(xdg);
    if (const char* home = std::getenv("HOME"); home && *home)
        return Path(home) / ".config";
    return std::nullopt;
}

}  // namespace

// Unlike Windows' application-data folder, the configuration home need not
// exist yet on a fresh account; it is made so that settings can be kept.
std::optional<Path> userSettingsRoot()
{
    auto root = configHome();
    if (root && !platform::folderExists(*root)) {
        std::error_code ec;
        std::filesystem::create_directories(*root, ec);
        if (!ec)
            ::chmod(root->c_str(), 0700);
    }
    return root;
}
// ---- Messages and windows -------------------------------------------------------

void showMessage(void*, std::string_view textUtf8, std::string_view captionUtf8)
{
    std::cerr << captionUtf8 << ": " << textUtf8 << std::endl;
}

bool windowOfClassExists(std::string_view) { return false; }

ComApartment::ComApartment() = default;
ComApartment::~ComApartment() = default;


}  // namespace vrelk::shell
