// A small harness for driving the Windows program from a Win32 test
// program under Wine: processes, their top-level windows, message boxes,
// and scratch folders.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace wine_harness {

inline std::string utf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), bytes, nullptr,
                        nullptr);
    return out;
}

class Window {
public:
    Window() = default;
    explicit Window(HWND handle) : handle_(handle) {}

    bool valid() const { return handle_ && IsWindow(handle_); }
    HWND handle() const { return handle_; }
    bool visible() const { return valid() && IsWindowVisible(handle_); }

    std::wstring caption() const { return textOf(handle_); }

    std::wstring className() const
    {
        wchar_t name[256] = {};
        if (handle_)
            GetClassNameW(handle_, name, 256);
        return name;
    }

    // The text of a message box: its first static control that has text.
    std::wstring messageText() const
    {
        std::wstring found;
        if (!handle_)
            return found;
        EnumChildWindows(handle_, collectStaticText, reinterpret_cast<LPARAM>(&found));
        return found;
    }

    HWND child(int id) const { return GetDlgItem(handle_, id); }
    void command(int id) const { PostMessageW(handle_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }
    void key(WPARAM virtualKey) const { PostMessageW(handle_, WM_KEYDOWN, virtualKey, 0); }
    void dismiss() const { PostMessageW(handle_, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0); }
    void close() const { PostMessageW(handle_, WM_CLOSE, 0, 0); }

    static std::wstring textOf(HWND window)
    {
        if (!window)
            return {};
        int length = GetWindowTextLengthW(window);
        std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
        GetWindowTextW(window, text.data(), length + 1);
        text.resize(static_cast<std::size_t>(lstrlenW(text.c_str())));
        return text;
    }

private:
    static BOOL CALLBACK collectStaticText(HWND child, LPARAM context)
    {
        wchar_t name[64] = {};
        GetClassNameW(child, name, 64);
        std::wstring text = textOf(child);
        if (lstrcmpiW(name, L"Static") == 0 && !text.empty()) {
            *reinterpret_cast<std::wstring*>(context) = text;
            return FALSE;
        }
        return TRUE;
    }

    HWND handle_ = nullptr;
};

class Process {
public:
    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    Process(Process&& other) noexcept : info_(other.info_) { other.info_ = {}; }
    ~Process()
    {
        if (info_.hProcess) {
            if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT)
                TerminateProcess(info_.hProcess, 99);
            CloseHandle(info_.hProcess);
            CloseHandle(info_.hThread);
        }
    }

    // Starts `exe` with `arguments`; its TEMP and TMP point at `tempFolder`.
    static Process start(const std::wstring& exe, const std::vector<std::wstring>& arguments,
                         const std::wstring& tempFolder)
    {
        std::wstring commandLine = L"\"" + exe + L"\"";
        for (const std::wstring& argument : arguments)
            commandLine += L" \"" + argument + L"\"";
        SetEnvironmentVariableW(L"TEMP", tempFolder.c_str());
        SetEnvironmentVariableW(L"TMP", tempFolder.c_str());
        Process process;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &process.info_))
            process.info_ = {};
        return process;
    }

    bool started() const { return info_.hProcess != nullptr; }

    bool waitForExit(DWORD milliseconds) const
    {
        return started() && WaitForSingleObject(info_.hProcess, milliseconds) == WAIT_OBJECT_0;
    }

    DWORD exitCode() const
    {
        DWORD code = 0;
        GetExitCodeProcess(info_.hProcess, &code);
        return code;
    }

    // A top-level window of this process with the class name, or none.
    Window findWindow(const std::wstring& className) const
    {
        Search search{info_.dwProcessId, &className, nullptr};
        EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
        return Window(search.found);
    }

    Window findMessageBox() const { return findWindow(L"#32770"); }

    Window waitForWindow(const std::wstring& className, DWORD milliseconds) const
    {
        for (DWORD waited = 0;; waited += 50) {
            Window window = findWindow(className);
            if (window.valid() && window.visible())
                return window;
            if (waited >= milliseconds || waitForExit(0))
                return findWindow(className);
            Sleep(50);
        }
    }

    Window waitForMessageBox(DWORD milliseconds) const { return waitForWindow(L"#32770", milliseconds); }

private:
    struct Search {
        DWORD processId;
        const std::wstring* className;
        HWND found;
    };

    static BOOL CALLBACK matchWindow(HWND window, LPARAM context)
    {
        auto* search = reinterpret_cast<Search*>(context);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner != search->processId || Window(window).className() != *search->className)
            return TRUE;
        search->found = window;
        return FALSE;
    }

    PROCESS_INFORMATION info_{};
};

class Folder {
public:
    explicit Folder(std::wstring path) : path_(std::move(path)) {}

    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

    std::wstring install(const std::wstring& program, const std::wstring& name) const
    {
        std::wstring target = file(name);
        CopyFileW(program.c_str(), target.c_str(), FALSE);
        return target;
    }

    std::wstring writeFile(const std::wstring& name, const std::vector<unsigned char>& bytes) const
    {
        std::wstring target = file(name);
        HANDLE handle = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        if (!bytes.empty())
            WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(handle);
        return target;
    }

    std::vector<unsigned char> readFile(const std::wstring& name) const
    {
        std::vector<unsigned char> bytes;
        HANDLE handle = CreateFileW(file(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            return bytes;
        bytes.resize(GetFileSize(handle, nullptr));
        DWORD got = 0;
        if (!bytes.empty())
            ReadFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
        bytes.resize(got);
        CloseHandle(handle);
        return bytes;
    }

    // Writes Vrelk.ini with section SImg holding `keys` ("Key=value\r\n" lines).
    void writeSettings(const std::string& keys) const
    {
        std::string text = "[SImg]\r\n" + keys;
        writeFile(L"Vrelk.ini", std::vector<unsigned char>(text.begin(), text.end()));
    }
    void writeSettings(const wchar_t* keys) const { writeSettings(utf8(keys)); }

    // File and folder names, sorted.
    std::vector<std::wstring> files() const
    {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW entry{};
        HANDLE search = FindFirstFileW((path_ + L"\\*").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE)
            return names;
        do {
            std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..")
                names.push_back(name);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::wstring path_;
};

class Harness {
public:
    Harness(std::wstring program, std::wstring scratch, std::wstring fixtures)
        : program_(std::move(program)), scratch_(std::move(scratch)), fixtures_(std::move(fixtures))
    {
        CreateDirectoryW(scratch_.c_str(), nullptr);
    }

    const std::wstring& program() const { return program_; }
    // A file made before the run by tests/wine/fixtures_*.py.
    std::wstring fixture(const std::wstring& name) const { return fixtures_ + L"\\" + name; }
    std::vector<unsigned char> fixtureBytes(const std::wstring& name) const { return Folder(fixtures_).readFile(name); }

    // An empty folder under the scratch folder.
    Folder freshFolder(const std::wstring& name) const
    {
        std::wstring path = scratch_ + L"\\" + name;
        removeTree(path);
        CreateDirectoryW(path.c_str(), nullptr);
        return Folder(path);
    }

    void check(bool condition, const std::wstring& label)
    {
        std::printf("  %s - %s\n", condition ? "ok" : "FAIL", utf8(label).c_str());
        std::fflush(stdout);
        if (!condition)
            currentFailed_ = true;
    }

    void run(const std::wstring& name, const std::function<void(Harness&)>& test)
    {
        std::printf("[ RUN ] %s\n", utf8(name).c_str());
        currentFailed_ = false;
        test(*this);
        (currentFailed_ ? failed_ : passed_)++;
        std::printf("[ %s ] %s\n", currentFailed_ ? "FAILED" : "OK", utf8(name).c_str());
        std::fflush(stdout);
    }

    int finish() const
    {
        std::printf("wine: %d passed, %d failed\n", passed_, failed_);
        return failed_ == 0 ? 0 : 1;
    }

    static void removeTree(const std::wstring& path)
    {
        WIN32_FIND_DATAW entry{};
        HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &entry);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = entry.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                std::wstring child = path + L"\\" + name;
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    removeTree(child);
                else
                    DeleteFileW(child.c_str());
            } while (FindNextFileW(search, &entry));
            FindClose(search);
        }
        RemoveDirectoryW(path.c_str());
    }

private:
    std::wstring program_;
    std::wstring scratch_;
    std::wstring fixtures_;
    int passed_ = 0;
    int failed_ = 0;
    bool currentFailed_ = false;
};

using TestFunction = void (*)(Harness&);

struct RegisteredTest {
    const wchar_t* name;
    TestFunction function;
};

inline std::vector<RegisteredTest>& registeredTests()
{
    static std::vector<RegisteredTest> tests;
    return tests;
}

struct Registrar {
    Registrar(const wchar_t* name, TestFunction function) { registeredTests().push_back({name, function}); }
};

}  // namespace wine_harness

// Defines a test that the driver runs: WINE_TEST(name) { h.check(...); }
#define WINE_TEST(name)                                                                  \
    static void name(wine_harness::Harness& h);                                          \
    static const wine_harness::Registrar name##Registrar(L## #name, name);               \
    static void name([[maybe_unused]] wine_harness::Harness& h)
