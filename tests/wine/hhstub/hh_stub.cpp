// Stands in for the HTML Help control in the help tests. Each call appends
// "command window file data" to hh_calls.txt beside this library; with a
// file hh_refuse beside it, the library refuses to load and logs "refused".
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

HMODULE self;

std::wstring besideSelf(const wchar_t* name)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(self, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + name;
}

void log(const std::wstring& line)
{
    HANDLE file = CreateFileW(besideSelf(L"hh_calls.txt").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    std::wstring text = line + L"\n";
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8.data(), bytes, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size() - 1), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    self = instance;
    if (GetFileAttributesW(besideSelf(L"hh_refuse").c_str()) == INVALID_FILE_ATTRIBUTES)
        return TRUE;
    log(L"refused");
    return FALSE;
}

// Exported by ordinal 15, as the real control's wide entry.
extern "C" HWND WINAPI StubHtmlHelpW(HWND window, LPCWSTR file, UINT command, DWORD_PTR data)
{
    constexpr UINT kInitialize = 0x1C;
    wchar_t value[32] = {};
    if (command == kInitialize) {
        *reinterpret_cast<DWORD*>(data) = 4242;
        lstrcpyW(value, L"cookie");
    } else {
        std::swprintf(value, 32, L"%lu", static_cast<unsigned long>(data));
    }
    log(std::to_wstring(command) + L" " + (window ? L"window" : L"-") + L" " + (file ? file : L"-") + L" " + value);
    return nullptr;
}
