// A second start of the program hands its files to the one already running
// and ends; the running one treats them as it treats dropped files.
#include "app/app_win32.h"

#include <array>

#include "app/hand_over.h"

namespace vrelk {
namespace {

// Long enough for a running program busy in a folder picker or a message
// box, whose loops answer too.
constexpr UINT kHandOverTimeoutMs = 10000;

std::u16string utf16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

// The path as the running program must see it: its current folder is not
// this one's.
std::wstring fullPath(const std::wstring& argument)
{
    const DWORD units = GetFullPathNameW(argument.c_str(), 0, nullptr, nullptr);
    if (units == 0)
        return argument;
    std::wstring full(units, L'\0');
    const DWORD written = GetFullPathNameW(argument.c_str(), units, full.data(), nullptr);
    if (written == 0 || written >= units)
        return argument;
    full.resize(written);
    return platform::longPathName(full).value_or(platform::Path(full)).native();
}

// Files waiting for a format button take the new ones in.
void joinPendingFiles(AppState& state, std::vector<platform::Path>& files)
{
    if (state.pendingDrop) {
        state.pendingDrop->insert(state.pendingDrop->end(), files.begin(), files.end());
        return;
    }
    for (const platform::Path& file : files)
        state.fileArguments.push_back(file.native());
}

}  // namespace

bool HandedOverToRunningProgram(const std::vector<std::wstring>& files)
{
    HWND running = FindWindowW(kConvertClass, nullptr);
    if (!running)
        return false;
    if (files.empty())
        return true;  // nothing to hand over; the running program is enough
    std::vector<std::u16string> paths;
    for (const std::wstring& file : files)
        paths.push_back(utf16(fullPath(file)));
    std::vector<std::byte> payload = PackHandOver(paths);
    COPYDATASTRUCT data{kHandOverTag, static_cast<DWORD>(payload.size()), payload.data()};
    DWORD_PTR accepted = FALSE;
    return SendMessageTimeoutW(running, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                               SMTO_ABORTIFHUNG | SMTO_BLOCK, kHandOverTimeoutMs, &accepted) != 0 &&
           accepted == TRUE;
}

bool receiveHandOver(AppState& state, const COPYDATASTRUCT& data)
{
    if (data.dwData != kHandOverTag || !data.lpData)
        return false;
    auto parsed = ParseHandOver({static_cast<const std::byte*>(data.lpData), data.cbData});
    if (!parsed)
        return false;
    std::vector<platform::Path> files;
    for (const std::u16string& path : *parsed)
        files.emplace_back(std::wstring(path.begin(), path.end()));
    state.handedOver.push_back(std::move(files));
    if (!PostMessageW(state.convertWindow, kHandOverArrived, 0, 0)) {
        state.handedOver.pop_back();
        return false;
    }
    return true;
}

// While a batch runs the lists wait for it to end (see runBatches); while
// the format buttons wait the files join the pending ones; otherwise they
// arrive as a drop on the settings window.
void placeHandedOverFiles(AppState& state)
{
    while (!state.busy && !state.handedOver.empty()) {
        std::vector<platform::Path> files = std::move(state.handedOver.front());
        state.handedOver.pop_front();
        if (IsWindowVisible(state.convertWindow))
            joinPendingFiles(state, files);
        else
            acceptDroppedFiles(state, std::move(files));
    }
}

}  // namespace vrelk
