// KeepTime through the Windows program: the output's last-write time is
// the input's, read back with GetFileTime.
#include "wine_harness.h"

#include <optional>

namespace {

using namespace wine_harness;

// 2001-02-03 04:05:06 UTC in 100 ns units since 1601.
constexpr ULONGLONG kInputTime = 126256659060000000ULL;

FILETIME fileTime(ULONGLONG value) { return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)}; }

std::optional<ULONGLONG> lastWriteTime(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::nullopt;
    FILETIME written{};
    const bool read = GetFileTime(file, nullptr, nullptr, &written) != 0;
    CloseHandle(file);
    if (!read)
        return std::nullopt;
    return ULONGLONG{written.dwHighDateTime} << 32 | written.dwLowDateTime;
}

bool setLastWriteTime(const std::wstring& path, ULONGLONG value)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const FILETIME time = fileTime(value);
    const bool set = SetFileTime(file, nullptr, nullptr, &time) != 0;
    return CloseHandle(file) != 0 && set;
}

}  // namespace

WINE_TEST(keepTimeGivesEachOutputItsInputsTime)
{
    for (const bool keep : {true, false}) {
        const std::wstring label = keep ? L"KeepTime=1" : L"KeepTime=0";
        Folder folder = h.freshFolder(keep ? L"keep-time" : L"keep-time-off");
        Folder temp = h.freshFolder(keep ? L"keep-time-temp" : L"keep-time-off-temp");
        const std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
        folder.writeSettings(keep ? L"DrctCvt=2\r\nKeepTime=1\r\n" : L"DrctCvt=2\r\n");
        const std::wstring input = folder.writeFile(L"photo.bmp", h.fixtureBytes(L"photo.bmp"));
        h.check(setLastWriteTime(input, kInputTime), label + L": input dated 2001");

        Process run = Process::start(exe, {input}, temp.path());
        const bool ended = run.waitForExit(30000);
        Window box = run.findMessageBox();
        if (box.valid())
            box.dismiss();
        h.check(ended && !box.valid(), label + L": converts without a message");
        const std::optional<ULONGLONG> written = lastWriteTime(folder.file(L"photo.png"));
        h.check(written.has_value() && (*written == kInputTime) == keep,
                label + (keep ? L": the PNG carries the input's time" : L": the PNG carries its own time"));
    }
}
