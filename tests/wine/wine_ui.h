// Helpers for driving the program's two windows: child controls in client
// coordinates, clicks, the saved settings, screenshots, and calls into the
// drop hook library loaded inside the program.
#pragma once

#include "wine_harness.h"

#include <cstdint>
#include <string>
#include <vector>

namespace wine_ui {

using namespace wine_harness;

inline RECT clientRectOf(HWND child)
{
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

inline bool sameRect(const RECT& r, int x, int y, int width, int height)
{
    return r.left == x && r.top == y && r.right - r.left == width && r.bottom - r.top == height;
}

inline DWORD styleOf(HWND window) { return static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)); }
inline DWORD exStyleOf(HWND window) { return static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE)); }

inline LRESULT send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result);
    return static_cast<LRESULT>(result);
}

// The text a control holds, asked of the control itself: across processes
// GetWindowText only sees the window's caption, not an edit's contents.
inline std::wstring controlText(HWND control)
{
    wchar_t text[512] = {};
    DWORD_PTR units = 0;
    SendMessageTimeoutW(control, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &units);
    return text;
}

inline void click(HWND control) { send(control, BM_CLICK); }
inline bool checked(HWND control) { return send(control, BM_GETCHECK) == BST_CHECKED; }
inline void setText(HWND control, const wchar_t* text)
{
    send(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

template <typename Condition>
bool waitUntil(Condition condition, DWORD milliseconds = 10000)
{
    for (DWORD waited = 0; !condition(); waited += 50) {
        if (waited >= milliseconds)
            return false;
        Sleep(50);
    }
    return true;
}

inline std::string textFile(const Folder& folder, const std::wstring& name)
{
    std::vector<unsigned char> bytes = folder.readFile(name);
    return std::string(bytes.begin(), bytes.end());
}

// "Key=value" as a whole line of the saved settings.
inline bool savedAs(const std::string& ini, const std::string& line)
{
    return ini.find("\r\n" + line + "\r\n") != std::string::npos || ini.find("\n" + line + "\r\n") != std::string::npos;
}

// Width and height from a PNG file's header.
inline std::pair<std::uint32_t, std::uint32_t> pngSize(const std::vector<unsigned char>& png)
{
    if (png.size() < 24)
        return {0, 0};
    auto be = [&](std::size_t at) {
        return std::uint32_t{png[at]} << 24 | std::uint32_t{png[at + 1]} << 16 | std::uint32_t{png[at + 2]} << 8 |
               png[at + 3];
    };
    return {be(16), be(20)};
}

// Saves what the screen shows of `window` as <artifacts>\<name>.bmp.
inline bool screenshot(HWND window, const std::wstring& name)
{
    wchar_t folder[MAX_PATH] = {};
    if (!GetEnvironmentVariableW(L"VRELK_ARTIFACTS", folder, MAX_PATH))
        return false;
    SetForegroundWindow(window);
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    Sleep(700);
    RECT r{};
    GetWindowRect(window, &r);
    const int width = r.right - r.left, height = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    const DWORD pixels = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + pixels), 0, 0,
                          sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
    std::vector<unsigned char> out(reinterpret_cast<unsigned char*>(&file),
                                   reinterpret_cast<unsigned char*>(&file) + sizeof(file));
    out.insert(out.end(), reinterpret_cast<unsigned char*>(&info.bmiHeader),
               reinterpret_cast<unsigned char*>(&info.bmiHeader) + sizeof(BITMAPINFOHEADER));
    out.insert(out.end(), static_cast<unsigned char*>(bits), static_cast<unsigned char*>(bits) + pixels);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    Folder(folder).writeFile(name + L".bmp", out);
    return width > 0 && height > 0;
}

// The drop hook library, loaded into the process that owns `window`.
class Hook {
public:
    explicit Hook(HWND window)
    {
        DWORD id = 0;
        GetWindowThreadProcessId(window, &id);
        process_ = OpenProcess(PROCESS_ALL_ACCESS, FALSE, id);
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        library_ = self;
        library_.resize(library_.find_last_of(L'\\') + 1);
        library_ += L"drop_hook.dll";
        local_ = LoadLibraryW(library_.c_str());
        auto loader = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW"));
        remote_ = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(
            callAt(loader, copyIn(library_.c_str(), (library_.size() + 1) * sizeof(wchar_t)))));
    }
    ~Hook()
    {
        if (process_)
            CloseHandle(process_);
    }
    Hook(const Hook&) = delete;
    Hook& operator=(const Hook&) = delete;

    bool loaded() const { return process_ && local_ && remote_; }

    // Drops `paths` on the settings window as the shell would.
    DWORD drop(const std::vector<std::wstring>& paths)
    {
        std::wstring list;
        for (const std::wstring& path : paths)
            list += path + L'\0';
        list += L'\0';
        return call("dropFiles", copyIn(list.c_str(), (list.size() + 1) * sizeof(wchar_t)));
    }

    DWORD call(const char* name, void* argument)
    {
        auto local = reinterpret_cast<std::uintptr_t>(reinterpret_cast<void*>(GetProcAddress(local_, name)));
        if (!loaded() || !local)
            return 0xFFFFFFFF;
        auto offset = local - reinterpret_cast<std::uintptr_t>(local_);
        return callAt(reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(remote_) + offset), argument);
    }

private:
    void* copyIn(const void* data, std::size_t bytes)
    {
        void* remote = VirtualAllocEx(process_, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (remote)
            WriteProcessMemory(process_, remote, data, bytes, nullptr);
        return remote;
    }

    DWORD callAt(void* function, void* argument)
    {
        HANDLE thread = CreateRemoteThread(process_, nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(function),
                                           argument, 0, nullptr);
        if (!thread)
            return 0xFFFFFFFF;
        WaitForSingleObject(thread, 10000);
        DWORD code = 0xFFFFFFFF;
        GetExitCodeThread(thread, &code);
        CloseHandle(thread);
        return code;
    }

    HANDLE process_ = nullptr;
    std::wstring library_;
    HMODULE local_ = nullptr;
    HMODULE remote_ = nullptr;
};

// Bits of the answer of the hook's systemMenuFacts.
enum MenuFact : DWORD {
    kTopItemIsAlwaysOnTop = 1,
    kSeparatorBelowIt = 2,
    kNoSizeOrMaximise = 4,
    kAlwaysOnTopChecked = 8,
};

}  // namespace wine_ui
