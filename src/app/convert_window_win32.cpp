// The window of format buttons, the window classes and system menu both
// top-level windows share, and the command handler behind them.
#include "app/app_win32.h"

#include <array>

#include "app/commands.h"
#include "app/messages.h"
#include "app/shell_extras_win32.h"

namespace vrelk {
namespace {

constexpr int kMenuSeparatorId = 6000;

// A grid of 65-pixel columns: the one-file-type formats in the first row
// (AVIF, the latest, in a fifth column that widened the window), the two
// JPEG writes centred under the first four, then the reduction check at
// the left and the settings button under the fourth column's right edge.
constexpr std::array<ControlLayout, 9> kConvertButtons{{
    {kCommandBmp, L"BUTTON", BS_PUSHBUTTON, 0, L"BMP(B)", 10, 10, 60, 24},
    {kCommandPng, L"BUTTON", BS_PUSHBUTTON, 0, L"PNG(P)", 75, 10, 60, 24},
    {kCommandGif, L"BUTTON", BS_PUSHBUTTON, 0, L"GIF(G)", 140, 10, 60, 24},
    {kCommandWebp, L"BUTTON", BS_PUSHBUTTON, 0, L"WebP(W)", 205, 10, 60, 24},
    {kCommandAvif, L"BUTTON", BS_PUSHBUTTON, 0, L"AVIF(A)", 270, 10, 60, 24},
    {kCommandJpeg, L"BUTTON", BS_PUSHBUTTON, 0, L"JPEG(J)", 57, 39, 65, 24},
    {kCommandRecode, L"BUTTON", BS_PUSHBUTTON, 0, L"JPEG変換(T)", 127, 39, 90, 24},
    {kCommandResizeCheck, L"BUTTON", BS_AUTOCHECKBOX, 0, L"画像サイズ縮小", 13, 77, 97, 16},
    {kCommandSettings, L"BUTTON", BS_PUSHBUTTON, 0, L"設定変更(S)", 180, 73, 85, 24},
}};

struct KeyCommand {
    WPARAM key;
    int command;
};

constexpr std::array<KeyCommand, 8> kConvertKeys{{
    {'B', kCommandBmp}, {'P', kCommandPng}, {'J', kCommandJpeg}, {'G', kCommandGif},
    {'T', kCommandRecode}, {'W', kCommandWebp}, {'A', kCommandAvif}, {'S', kCommandSettings},
}};

bool isChecked(HWND window, int id) { return IsDlgButtonChecked(window, id) == BST_CHECKED; }

void setChecked(HWND window, int id, bool checked)
{
    CheckDlgButton(window, id, checked ? BST_CHECKED : BST_UNCHECKED);
}

void showAlwaysOnTopMark(const AppState& state, HWND window)
{
    CheckMenuItem(GetSystemMenu(window, FALSE), kAlwaysOnTop,
                  MF_BYCOMMAND | (state.alwaysOnTop ? MF_CHECKED : MF_UNCHECKED));
}

void showOnly(HWND shown, HWND hidden)
{
    ShowWindow(shown, SW_SHOW);
    ShowWindow(hidden, SW_HIDE);
}

// ---- Commands ---------------------------------------------------------------------

// A format choice converts the files waiting for it, once: not while a
// batch or its message is still open, and not when nothing waits.
void convertAs(AppState& state, int command)
{
    if (state.busy || (!state.pendingDrop && state.fileArguments.empty()))
        return;
    if (const OutputFormat* format = OutputForCommand(command)) {
        state.settings.outputType = format->outputType;
        StartConversion(state);
    }
}

void resizeCheckFromConvertWindow(AppState& state)
{
    setChecked(state.settingsWindow, kReduceCheck, isChecked(state.convertWindow, kCommandResizeCheck));
    updateReductionEnables(state);
    SetFocus(state.convertWindow);
}

void resizeCheckFromSettingsWindow(AppState& state)
{
    setChecked(state.convertWindow, kCommandResizeCheck, isChecked(state.settingsWindow, kReduceCheck));
    updateReductionEnables(state);
}

void showSettingsWindow(AppState& state)
{
    if (state.busy)
        return;
    state.pendingDrop.reset();
    showOnly(state.settingsWindow, state.convertWindow);
}

void closeSettingsWindow(AppState& state)
{
    ApplyControlsToSettings(state.settingsWindow, state.settings);
    ApplyShortcutChecks(state.settingsWindow);
    if (!state.fileArguments.empty())
        showOnly(state.convertWindow, state.settingsWindow);
    else
        SendMessageW(state.convertWindow, WM_CLOSE, 0, 0);
}

void openVersionWindow(AppState& state)
{
    if (!OpenVersionWindow(state.settingsWindow, state.ui))
        ShowError(state.settingsWindow, kErrorNoMemory);
}

void toggleAlwaysOnTop(AppState& state)
{
    state.alwaysOnTop = !state.alwaysOnTop;
    SetWindowPos(state.convertWindow, state.alwaysOnTop ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOSENDCHANGING);
    if (IsWindowVisible(state.settingsWindow))
        SetActiveWindow(state.settingsWindow);
}

struct CommandEntry {
    int id;
    void (*run)(AppState& state);
};

constexpr std::array<CommandEntry, 18> kCommands{{
    {kCommandBmp, [](AppState& state) { convertAs(state, kCommandBmp); }},
    {kCommandPng, [](AppState& state) { convertAs(state, kCommandPng); }},
    {kCommandJpeg, [](AppState& state) { convertAs(state, kCommandJpeg); }},
    {kCommandGif, [](AppState& state) { convertAs(state, kCommandGif); }},
    {kCommandRecode, [](AppState& state) { convertAs(state, kCommandRecode); }},
    {kCommandWebp, [](AppState& state) { convertAs(state, kCommandWebp); }},
    {kCommandAvif, [](AppState& state) { convertAs(state, kCommandAvif); }},
    {kCommandResizeCheck, resizeCheckFromConvertWindow},
    {kCommandSettings, showSettingsWindow},
    {kLimitCheck, [](AppState& state) { updateFileSizeEnables(state.settingsWindow); }},
    {kReduceCheck, resizeCheckFromSettingsWindow},
    {kChooseOutputFolder, chooseOutputFolder},
    {kClearOutputFolder, clearOutputFolder},
    {kChoosePluginFolder, choosePluginFolder},
    {kCloseSettings, closeSettingsWindow},
    {kHelpButton, [](AppState&) { ShowHelp(); }},
    {kVersionButton, openVersionWindow},
    {kAlwaysOnTop, toggleAlwaysOnTop},
}};

// ---- The window -------------------------------------------------------------------

void closeConvertWindow(AppState& state, HWND window)
{
    if (state.busy) {
        // The batch still works on the pending list; close once it is done.
        state.closeAfterBatch = true;
        return;
    }
    state.pendingDrop.reset();
    (void)SaveSettings(state.settings, state.iniPath);  // not reported: the values are simply not kept
    DestroyWindow(window);
}

LRESULT CALLBACK convertWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    AppState* state = windowRecord<AppState>(window, message, lParam);
    if (!state)
        return DefWindowProcW(window, message, wParam, lParam);
    LRESULT result = 0;
    switch (message) {
    case WM_CREATE:
        buildSystemMenu(window);
        for (const ControlLayout& layout : kConvertButtons)
            createControl(window, state->ui, layout);
        setChecked(window, kCommandResizeCheck, state->settings.Resize);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_CLOSE:
        closeConvertWindow(*state, window);
        return 0;
    case WM_COPYDATA:
        return lParam && receiveHandOver(*state, *reinterpret_cast<const COPYDATASTRUCT*>(lParam)) ? TRUE : FALSE;
    case kHandOverArrived:
        placeHandedOverFiles(*state);
        return 0;
    case WM_KEYDOWN:
        if (wParam == VK_ESCAPE) {
            SendMessageW(window, WM_CLOSE, 0, 0);
            return 0;
        }
        for (const KeyCommand& key : kConvertKeys)
            if (key.key == wParam)
                runCommand(*state, key.command);
        return 0;
    default:
        if (handleCommonMessage(*state, window, message, wParam, result))
            return result;
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool registerClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(100));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = name;
    return RegisterClassExW(&windowClass) != 0;
}

// Outer size from the client size and the dialog frame, centred in the
// work area measured from the screen origin.
HWND createTopLevel(AppState& state, const wchar_t* className, int clientWidth, int clientHeight, HWND owner)
{
    int frameX = GetSystemMetrics(SM_CXDLGFRAME);
    int frameY = GetSystemMetrics(SM_CYDLGFRAME);
    int width = 2 * frameX + clientWidth;
    int height = GetSystemMetrics(SM_CYCAPTION) + 2 * frameY + clientHeight;
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    int x = (work.right - work.left - width) / 2;
    int y = (work.bottom - work.top - height) / 2;
    return CreateWindowExW(WS_EX_APPWINDOW | WS_EX_DLGMODALFRAME, className, kWindowTitle,
                           WS_OVERLAPPED | WS_CAPTION | WS_CLIPCHILDREN | WS_SYSMENU | WS_MINIMIZEBOX, x, y,
                           width, height, owner, nullptr, state.ui.instance, &state);
}

}  // namespace

bool registerWindowClasses(HINSTANCE instance)
{
    return registerClass(instance, kConvertClass, convertWindowProc) &&
           registerClass(instance, kSettingClass, settingsWindowProc) && registerProgressClass(instance);
}

HWND createConvertWindow(AppState& state) { return createTopLevel(state, kConvertClass, 340, 107, nullptr); }

HWND createSettingsWindow(AppState& state, HWND owner)
{
    return createTopLevel(state, kSettingClass, 410, 334, owner);
}

void buildSystemMenu(HWND window)
{
    HMENU menu = GetSystemMenu(window, FALSE);
    DeleteMenu(menu, 4, MF_BYPOSITION);
    DeleteMenu(menu, 2, MF_BYPOSITION);
    InsertMenuW(menu, 0, MF_BYPOSITION | MF_STRING, kAlwaysOnTop, L"常に手前に表示");
    InsertMenuW(menu, 1, MF_BYPOSITION | MF_SEPARATOR, kMenuSeparatorId, nullptr);
}

bool handleCommonMessage(AppState& state, HWND window, UINT message, WPARAM wParam, LRESULT& result)
{
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) <= kAlwaysOnTop)
            runCommand(state, LOWORD(wParam));
        result = 0;
        return true;
    case WM_SYSCOMMAND:
        if (LOWORD(wParam) != kAlwaysOnTop)
            return false;
        runCommand(state, kAlwaysOnTop);
        result = 0;
        return true;
    case WM_NCLBUTTONDBLCLK:
        runCommand(state, kAlwaysOnTop);
        result = 0;
        return true;
    case WM_INITMENUPOPUP:
        showAlwaysOnTopMark(state, window);
        return false;
    default:
        return false;
    }
}

void runCommand(AppState& state, int command)
{
    for (const CommandEntry& entry : kCommands)
        if (entry.id == command) {
            entry.run(state);
            return;
        }
}

void updateReductionEnables(const AppState& state)
{
    const bool reduce = isChecked(state.convertWindow, kCommandResizeCheck);
    for (int id = kSideWidth; id <= kReduceSizeLabel; ++id)
        EnableWindow(GetDlgItem(state.settingsWindow, id), reduce);
    EnableWindow(GetDlgItem(state.convertWindow, kCommandRecode), !reduce);
}

HWND visibleWindow(const AppState& state)
{
    if (IsWindowVisible(state.convertWindow) && !IsWindowVisible(state.settingsWindow))
        return state.convertWindow;
    return state.settingsWindow;
}

}  // namespace vrelk
