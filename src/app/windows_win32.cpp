// The two top-level windows and the command handler they share.
#include "app/app_win32.h"

#include <shellapi.h>

#include <array>
#include "app/controls.h"
#include "app/commands.h"

namespace vrelk {
namespace {

constexpr int kAlwaysOnTopCommand = 5000;
constexpr int kMenuSeparatorId = 6000;
constexpr int kResizeCheck = kCommandResizeCheck;
constexpr int kSettingsButton = kCommandSettings;
constexpr int kCloseSettingsCommand = 1070;

struct ButtonLayout {
    int id;
    const wchar_t* text;
    DWORD kind;
    int x, y, width, height;
};

constexpr std::array<ButtonLayout, 7> kConvertButtons{{
    {kCommandBmp, L"BMP(B)", BS_PUSHBUTTON, 10, 10, 60, 24},
    {kCommandPng, L"PNG(P)", BS_PUSHBUTTON, 75, 10, 60, 24},
    {kCommandGif, L"GIF(G)", BS_PUSHBUTTON, 140, 10, 60, 24},
    {kCommandJpeg, L"JPEG(J)", BS_PUSHBUTTON, 25, 39, 65, 24},
    {kCommandRecode, L"JPEG変換(T)", BS_PUSHBUTTON, 95, 39, 90, 24},
    {kResizeCheck, L"画像サイズ縮小", BS_AUTOCHECKBOX, 13, 77, 97, 16},
    {kSettingsButton, L"設定変更(S)", BS_PUSHBUTTON, 115, 73, 85, 24},
}};

struct KeyCommand {
    WPARAM key;
    int command;
};

constexpr std::array<KeyCommand, 6> kConvertKeys{{
    {'B', kCommandBmp}, {'P', kCommandPng}, {'J', kCommandJpeg}, {'G', kCommandGif}, {'T', kCommandRecode}, {'S', kSettingsButton},
}};

void createButton(HWND parent, const ButtonLayout& layout)
{
    HWND button = CreateWindowExW(0, L"BUTTON", layout.text, WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | layout.kind,
                                  layout.x, layout.y, layout.width, layout.height, parent,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(layout.id)), app().instance, nullptr);
    SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(app().uiFont), FALSE);
}

void buildSystemMenu(HWND window)
{
    HMENU menu = GetSystemMenu(window, FALSE);
    DeleteMenu(menu, 4, MF_BYPOSITION);
    DeleteMenu(menu, 2, MF_BYPOSITION);
    InsertMenuW(menu, 0, MF_BYPOSITION | MF_STRING, kAlwaysOnTopCommand, L"常に手前に表示");
    InsertMenuW(menu, 1, MF_BYPOSITION | MF_SEPARATOR, kMenuSeparatorId, nullptr);
}

void showAlwaysOnTopMark(HWND window)
{
    CheckMenuItem(GetSystemMenu(window, FALSE), kAlwaysOnTopCommand,
                  MF_BYCOMMAND | (app().alwaysOnTop ? MF_CHECKED : MF_UNCHECKED));
}

void toggleAlwaysOnTop()
{
    AppState& state = app();
    state.alwaysOnTop = !state.alwaysOnTop;
    SetWindowPos(state.convertWindow, state.alwaysOnTop ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOSENDCHANGING);
    if (IsWindowVisible(state.settingsWindow))
        SetActiveWindow(state.settingsWindow);
}

void closeSettingsWindow()
{
    AppState& state = app();
    ApplyControlsToSettings(state.settings);
    if (!state.fileArguments.empty()) {
        ShowWindow(state.convertWindow, SW_SHOW);
        ShowWindow(state.settingsWindow, SW_HIDE);
    } else {
        SendMessageW(state.convertWindow, WM_CLOSE, 0, 0);
    }
}

// Handles the messages both windows treat alike; false when not handled.
bool handleCommonMessage(HWND window, UINT message, WPARAM wParam, LRESULT& result)
{
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) <= kAlwaysOnTopCommand)
            runCommand(LOWORD(wParam));
        result = 0;
        return true;
    case WM_SYSCOMMAND:
        if (LOWORD(wParam) == kAlwaysOnTopCommand) {
            runCommand(kAlwaysOnTopCommand);
            result = 0;
            return true;
        }
        return false;
    case WM_NCLBUTTONDBLCLK:
        runCommand(kAlwaysOnTopCommand);
        result = 0;
        return true;
    case WM_INITMENUPOPUP:
        showAlwaysOnTopMark(window);
        return false;
    default:
        return false;
    }
}

LRESULT CALLBACK convertWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    AppState& state = app();
    LRESULT result = 0;
    switch (message) {
    case WM_CREATE:
        buildSystemMenu(window);
        for (const ButtonLayout& layout : kConvertButtons)
            createButton(window, layout);
        CheckDlgButton(window, kResizeCheck, state.settings.Resize ? BST_CHECKED : BST_UNCHECKED);
        EnableWindow(GetDlgItem(window, kCommandRecode), !state.settings.Resize);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_CLOSE:
        state.pendingDrop.reset();
        (void)SaveSettings(state.settings, state.iniPath);  // not reported: the values are simply not kept
        break;
    case WM_KEYDOWN:
        if (wParam == VK_ESCAPE) {
            SendMessageW(window, WM_CLOSE, 0, 0);
            return 0;
        }
        for (const KeyCommand& key : kConvertKeys)
            if (key.key == wParam)
                runCommand(key.command);
        return 0;
    default:
        if (handleCommonMessage(window, message, wParam, result))
            return result;
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void acceptDrop(HDROP drop)
{
    AppState& state = app();
    UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    std::vector<platform::Path> files;
    for (UINT i = 0; i < count; ++i) {
        std::array<wchar_t, MAX_PATH> name{};
        DragQueryFileW(drop, i, name.data(), MAX_PATH);
        files.emplace_back(name.data());
    }
    DragFinish(drop);
    if (files.empty() || platform::folderExists(files.front()))
        return;

    state.pendingDrop = std::move(files);
    if (auto type = outputTypeForDirectChoice(state.settings.DrctCvt)) {
        state.settings.outputType = *type;
        StartConversion();
        return;
    }
    ShowWindow(state.convertWindow, SW_SHOW);
    ShowWindow(state.settingsWindow, SW_HIDE);
}

LRESULT CALLBACK settingsWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    switch (message) {
    case WM_CREATE:
        buildSystemMenu(window);
        return 0;
    case WM_CLOSE:
        runCommand(kCloseSettingsCommand);
        return 0;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_NCLBUTTONDOWN:
    case WM_NCRBUTTONDOWN:
    case WM_NCMBUTTONDOWN:
        SetFocus(window);
        break;
    case WM_DROPFILES:
        acceptDrop(reinterpret_cast<HDROP>(wParam));
        return 0;
    default:
        if (handleCommonMessage(window, message, wParam, result))
            return result;
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool registerClass(const wchar_t* name, WNDPROC procedure)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = app().instance;
    windowClass.hIcon = LoadIconW(app().instance, MAKEINTRESOURCEW(100));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = name;
    return RegisterClassExW(&windowClass) != 0;
}

HWND createTopLevel(const wchar_t* className, int clientWidth, int clientHeight, HWND owner)
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
                           width, height, owner, nullptr, app().instance, nullptr);
}

}  // namespace

bool registerWindowClasses()
{
    return registerClass(kConvertClass, convertWindowProc) && registerClass(kSettingClass, settingsWindowProc);
}

HWND createConvertWindow() { return createTopLevel(kConvertClass, 210, 107, nullptr); }

HWND createSettingsWindow(HWND owner) { return createTopLevel(kSettingClass, 410, 286, owner); }

void runCommand(int command)
{
    AppState& state = app();
    if (auto type = outputTypeForCommand(command)) {
        state.settings.outputType = *type;
        StartConversion();
        return;
    }
    switch (command) {
    case kResizeCheck:
        EnableWindow(GetDlgItem(state.convertWindow, kCommandRecode),
                     IsDlgButtonChecked(state.convertWindow, kResizeCheck) != BST_CHECKED);
        SetFocus(state.convertWindow);
        break;
    case kSettingsButton:
        state.pendingDrop.reset();
        ShowWindow(state.settingsWindow, SW_SHOW);
        ShowWindow(state.convertWindow, SW_HIDE);
        break;
    case kCloseSettingsCommand:
        closeSettingsWindow();
        break;
    case kAlwaysOnTopCommand:
        toggleAlwaysOnTop();
        break;
    default:
        break;
    }
}

}  // namespace vrelk
