// The shell's side of the operating system on Windows: version, program
// and settings folders, the private-profile API, message boxes and COM.
#include "app/shell_os.h"
#include "app/shell_os_win32.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <array>
#include <vector>

namespace vrelk::shell {
namespace {

constexpr DWORD kPathUnits = MAX_PATH;

std::wstring wide(std::string_view text) { return platform::fromUtf8(text); }

}  // namespace

using platform::NativeString;
using platform::Path;

const std::string_view kExecutableName = "Vrelk.exe";

OsVersion osVersion()
{
    // GetVersionEx reports what the manifest admits to; the kernel's own
    // query tells the truth.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
        auto query = reinterpret_cast<RtlGetVersionFn>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
        if (query && query(&info) == 0)
            return {info.dwMajorVersion, info.dwMinorVersion};
    }
    return {0, 0};
}

Path executablePath()
{
    std::vector<wchar_t> buffer(32768);
    DWORD units = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (units == 0 || units >= buffer.size())
        return {};
    return Path(std::wstring(buffer.data(), units));
}

std::optional<Path> userSettingsRoot()
{
    std::array<wchar_t, kPathUnits> buffer{};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, buffer.data())))
        return std::nullopt;
    return Path(buffer.data());
}

// ---- INI -------------------------------------------------------------------------

int iniReadInt(const Path& file, std::string_view section, std::string_view key, int fallback)
{
    return static_cast<int>(
        GetPrivateProfileIntW(wide(section).c_str(), wide(key).c_str(), fallback, file.c_str()));
}

NativeString iniReadString(const Path& file, std::string_view section, std::string_view key,
                           const NativeString& fallback)
{
    std::array<wchar_t, kPathUnits> buffer{};
    GetPrivateProfileStringW(wide(section).c_str(), wide(key).c_str(), fallback.c_str(), buffer.data(),
                             kPathUnits, file.c_str());
    return buffer.data();
}

bool iniReplaceSection(const Path& file, std::string_view section, std::span<const IniEntry> entries)
{
    std::wstring name = wide(section);
    bool ok = WritePrivateProfileStringW(name.c_str(), nullptr, nullptr, file.c_str()) != 0;
    for (const IniEntry& entry : entries)
        ok = WritePrivateProfileStringW(name.c_str(), wide(entry.key).c_str(), entry.value.c_str(),
                                        file.c_str()) != 0 && ok;
    return ok;
}

// ---- Messages and windows -------------------------------------------------------

void showMessage(void* owner, std::string_view textUtf8, std::string_view captionUtf8)
{
    MessageBoxW(static_cast<HWND>(owner), wide(textUtf8).c_str(), wide(captionUtf8).c_str(),
                MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

bool windowOfClassExists(std::string_view className)
{
    return FindWindowW(wide(className).c_str(), nullptr) != nullptr;
}

ComApartment::ComApartment() : initialised_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}

ComApartment::~ComApartment()
{
    if (initialised_)
        CoUninitialize();
}

}  // namespace vrelk::shell
