// HTML Help, loaded at run time so the program starts without it. The
// library comes from the path the registry names for the HTML Help control,
// else from the system folder; never from the current folder, where a
// program started from Send To may find anything.
#include "app/app_win32.h"

#include "app/shell_extras_win32.h"

#include <optional>
#include <string>

#include "app/shell_os.h"

namespace vrelk {
namespace {

constexpr UINT kDisplayTopic = 0x0000;
constexpr UINT kInitialize = 0x001C;
constexpr UINT kUninitialize = 0x001D;
constexpr wchar_t kControlKey[] = L"CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32";
constexpr wchar_t kControlName[] = L"hhctrl.ocx";
constexpr WORD kWideEntryOrdinal = 15;

using HtmlHelpEntry = HWND(WINAPI*)(HWND, LPCWSTR, UINT, DWORD_PTR);

struct HtmlHelpLibrary {
    HMODULE library = nullptr;
    HtmlHelpEntry entry = nullptr;
    bool failed = false;
};

HtmlHelpLibrary& helpLibrary()
{
    static HtmlHelpLibrary library;
    return library;
}

bool isAbsolute(const std::wstring& path)
{
    return (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') || path.starts_with(L"\\\\");
}

std::optional<std::wstring> inSystemFolder(const std::wstring& name)
{
    wchar_t folder[MAX_PATH] = {};
    UINT units = GetSystemDirectoryW(folder, MAX_PATH);
    if (units == 0 || units >= MAX_PATH)
        return std::nullopt;
    return std::wstring(folder) + L"\\" + name;
}

// The registry's text value, expanded; none for any other type, a failed
// read, an empty value or an expansion that does not fit.
std::optional<std::wstring> registeredControlPath()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, kControlKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return std::nullopt;
    wchar_t value[MAX_PATH] = {};
    DWORD type = 0;
    DWORD bytes = sizeof(value) - sizeof(wchar_t);
    LONG status = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ) || bytes < sizeof(wchar_t))
        return std::nullopt;
    value[bytes / sizeof(wchar_t)] = L'\0';
    if (!value[0])
        return std::nullopt;
    if (type == REG_SZ)
        return std::wstring(value);
    wchar_t expanded[MAX_PATH] = {};
    DWORD units = ExpandEnvironmentStringsW(value, expanded, MAX_PATH);
    if (units <= 1 || units > MAX_PATH)
        return std::nullopt;
    return std::wstring(expanded);
}

HMODULE loadByFullPath(const std::optional<std::wstring>& path)
{
    if (!path)
        return nullptr;
    std::optional<std::wstring> full = isAbsolute(*path) ? path : inSystemFolder(*path);
    return full ? LoadLibraryW(full->c_str()) : nullptr;
}

HtmlHelpEntry htmlHelpEntry()
{
    HtmlHelpLibrary& help = helpLibrary();
    if (help.entry || help.failed)
        return help.entry;
    if (!help.library)
        help.library = loadByFullPath(registeredControlPath());
    if (!help.library)
        help.library = loadByFullPath(inSystemFolder(kControlName));
    if (help.library)
        help.entry = reinterpret_cast<HtmlHelpEntry>(
            reinterpret_cast<void*>(GetProcAddress(help.library, MAKEINTRESOURCEA(kWideEntryOrdinal))));
    help.failed = !help.entry;
    return help.entry;
}

}  // namespace

HWND LoadHtmlHelp(HWND window, const wchar_t* file, UINT command, DWORD_PTR data)
{
    HtmlHelpEntry entry = htmlHelpEntry();
    return entry ? entry(window, file, command, data) : nullptr;
}

void initialiseHtmlHelp(DWORD_PTR& cookie)
{
    cookie = 0;
    LoadHtmlHelp(nullptr, nullptr, kInitialize, reinterpret_cast<DWORD_PTR>(&cookie));
}

void uninitialiseHtmlHelp(DWORD_PTR cookie) { LoadHtmlHelp(nullptr, nullptr, kUninitialize, cookie); }

void ShowHelp()
{
    platform::Path file = shell::executablePath();
    if (file.empty())
        return;
    file.replace_extension(L".chm");
    LoadHtmlHelp(nullptr, file.c_str(), kDisplayTopic, 0);
}

}  // namespace vrelk
