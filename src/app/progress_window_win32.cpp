// A batch off the window thread: the workers convert while this thread
// keeps every window answering, and a batch still running after half a
// second shows how far it got and can be stopped.
#include "app/app_win32.h"

#include <commctrl.h>
#include <shobjidl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <string>

#include "app/messages.h"

namespace vrelk {
namespace {

enum ProgressControl : int {
    kProgressTitle = 1080,
    kProgressCount = 1081,
    kProgressFile = 1082,
    kProgressBar = 1083,
    kProgressCancel = 1084,
};

constexpr UINT_PTR kShowTimer = 1;
constexpr UINT_PTR kPollTimer = 2;
constexpr UINT kShowAfterMs = 500;
// Wakes the window thread should a posted notice be lost.
constexpr UINT kPollMs = 250;
constexpr UINT kBatchMoved = WM_APP + 1;

struct ProgressLayout {
    int id;
    const wchar_t* className;
    DWORD style;
    const wchar_t* text;
    int x, y, width, height;
};

constexpr std::array<ProgressLayout, 5> kProgressControls{{
    {kProgressTitle, L"STATIC", SS_LEFT, L"変換中…", 10, 10, 190, 16},
    {kProgressCount, L"STATIC", SS_RIGHT, L"", 200, 10, 90, 16},
    {kProgressFile, L"STATIC", SS_LEFT | SS_ENDELLIPSIS | SS_NOPREFIX, L"", 10, 30, 280, 16},
    {kProgressBar, PROGRESS_CLASSW, 0, L"", 10, 52, 280, 16},
    {kProgressCancel, L"BUTTON", BS_DEFPUSHBUTTON | WS_TABSTOP, L"中止", 110, 78, 80, 24},
}};

struct TaskbarRelease {
    void operator()(ITaskbarList3* taskbar) const { taskbar->Release(); }
};

// What the batch thread and the window thread share; the window reads it.
struct BatchProgress {
    UiResources ui;
    HWND owner = nullptr;
    std::span<const platform::Path> inputs;
    std::atomic<std::size_t> done{0};
    std::atomic<bool> finished{false};
    StopFlag stop{false};
    HWND window = nullptr;
    std::size_t drawn = SIZE_MAX;
    std::unique_ptr<ITaskbarList3, TaskbarRelease> taskbar;
};

UINT taskbarButtonCreated()
{
    static const UINT message = RegisterWindowMessageW(L"TaskbarButtonCreated");
    return message;
}

void showTaskbarProgress(BatchProgress& progress)
{
    if (progress.taskbar)
        progress.taskbar->SetProgressValue(progress.window, progress.done.load(), progress.inputs.size());
}

// The taskbar's indicator, where the system has one for this window.
void connectTaskbar(BatchProgress& progress)
{
    ITaskbarList3* taskbar = nullptr;
    if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                reinterpret_cast<void**>(&taskbar))))
        return;
    progress.taskbar.reset(taskbar);
    if (FAILED(taskbar->HrInit())) {
        progress.taskbar.reset();
        return;
    }
    taskbar->SetProgressState(progress.window, TBPF_NORMAL);
    showTaskbarProgress(progress);
}

void drawProgress(BatchProgress& progress)
{
    const std::size_t done = progress.done.load();
    if (done == progress.drawn)
        return;
    progress.drawn = done;
    const std::size_t total = progress.inputs.size();
    const std::wstring count = std::to_wstring(done) + L" / " + std::to_wstring(total);
    SetDlgItemTextW(progress.window, kProgressCount, count.c_str());
    const platform::Path current = progress.inputs[std::min(done, total - 1)].filename();
    SetDlgItemTextW(progress.window, kProgressFile, current.c_str());
    SendDlgItemMessageW(progress.window, kProgressBar, PBM_SETPOS, static_cast<WPARAM>(done), 0);
    showTaskbarProgress(progress);
}

void askToStop(BatchProgress& progress)
{
    progress.stop = true;
    EnableWindow(GetDlgItem(progress.window, kProgressCancel), FALSE);
    SetDlgItemTextW(progress.window, kProgressTitle, L"中止しています…");
}

void showIfStillRunning(BatchProgress& progress)
{
    KillTimer(progress.window, kShowTimer);
    if (progress.finished)
        return;
    drawProgress(progress);
    ShowWindow(progress.window, SW_SHOWNORMAL);
    UpdateWindow(progress.window);
}

void createControls(HWND window, const BatchProgress& progress)
{
    for (const ProgressLayout& layout : kProgressControls) {
        HWND control = CreateWindowExW(0, layout.className, layout.text, WS_CHILD | WS_VISIBLE | layout.style,
                                       layout.x, layout.y, layout.width, layout.height, window,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(layout.id)),
                                       progress.ui.instance, nullptr);
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(progress.ui.font), FALSE);
    }
    SendDlgItemMessageW(window, kProgressBar, PBM_SETRANGE32, 0, static_cast<LPARAM>(progress.inputs.size()));
}

LRESULT CALLBACK progressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    BatchProgress* progress = windowRecord<BatchProgress>(window, message, lParam);
    if (!progress)
        return DefWindowProcW(window, message, wParam, lParam);
    if (message == taskbarButtonCreated()) {
        connectTaskbar(*progress);
        return 0;
    }
    switch (message) {
    case WM_CREATE:
        progress->window = window;
        createControls(window, *progress);
        SetTimer(window, kShowTimer, kShowAfterMs, nullptr);
        SetTimer(window, kPollTimer, kPollMs, nullptr);
        return 0;
    case WM_TIMER:
        if (wParam == kShowTimer)
            showIfStillRunning(*progress);
        else if (IsWindowVisible(window))
            drawProgress(*progress);
        return 0;
    case kBatchMoved:
        if (IsWindowVisible(window))
            drawProgress(*progress);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == kProgressCancel || LOWORD(wParam) == IDCANCEL)
            askToStop(*progress);
        return 0;
    case WM_CLOSE:
        askToStop(*progress);
        return 0;
    case WM_DESTROY:
        progress->taskbar.reset();
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

// Hidden at first, owned by the convert window and on the taskbar.
HWND createProgressWindow(BatchProgress& progress)
{
    constexpr int kClientWidth = 300;
    constexpr int kClientHeight = 110;
    RECT frame{0, 0, kClientWidth, kClientHeight};
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    const DWORD exStyle = WS_EX_APPWINDOW | WS_EX_DLGMODALFRAME;
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    return CreateWindowExW(exStyle, kProgressClass, kWindowTitle, style, (work.right - work.left - width) / 2,
                           (work.bottom - work.top - height) / 2, width, height, progress.owner, nullptr,
                           progress.ui.instance, &progress);
}

// Dispatches messages until the batch has ended. A quit message stops the
// batch and is passed on once it has ended.
void pumpUntilFinished(BatchProgress& progress, platform::BackgroundWork& batch)
{
    MSG message{};
    while (!progress.finished) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0) {
            progress.stop = true;
            batch.join();
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        if (got == -1)
            break;
        if (!IsDialogMessageW(progress.window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    batch.join();
}

// The workers of a batch: one per processor, or VRELK_WORKERS, which the
// tests set to compare runs with different counts.
unsigned batchWorkers()
{
    std::array<wchar_t, 16> text{};
    const DWORD units = GetEnvironmentVariableW(L"VRELK_WORKERS", text.data(), static_cast<DWORD>(text.size()));
    if (units > 0 && units < text.size()) {
        const long wanted = std::wcstol(text.data(), nullptr, 10);
        if (wanted >= 1 && wanted <= 64)
            return static_cast<unsigned>(wanted);
    }
    return BatchWorkerCount(platform::processorCount());
}

}  // namespace

bool registerProgressClass(HINSTANCE instance)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = progressWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(100));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kProgressClass;
    return RegisterClassExW(&windowClass) != 0;
}

BatchReport RunBatchWithProgress(const AppState& state, std::span<const platform::Path> inputs,
                                 const ConvertOptions& options)
{
    const unsigned workers = batchWorkers();
    BatchProgress progress;
    progress.ui = state.ui;
    progress.owner = state.convertWindow;
    progress.inputs = inputs;
    if (inputs.empty() || !createProgressWindow(progress))
        return RunBatchInParallel(inputs, options, workers);

    BatchReport report;
    const HWND window = progress.window;
    {
        platform::BackgroundWork batch([&] {
            FileDone moved = [&](const FileReport&, std::size_t index, std::size_t) {
                progress.done = index + 1;
                PostMessageW(window, kBatchMoved, 0, 0);
            };
            report = RunBatchInParallel(inputs, options, workers, moved, &progress.stop);
            progress.finished = true;
            PostMessageW(window, kBatchMoved, 0, 0);
        });
        pumpUntilFinished(progress, batch);
    }
    DestroyWindow(window);
    return report;
}

void ShowCancelled(HWND owner, std::size_t converted)
{
    const std::string text = cancelledText(converted);
    const std::wstring wide = platform::fromUtf8(text);
    MessageBoxW(owner, wide.c_str(), kWindowTitle, MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
}

}  // namespace vrelk
