// Process-wide state of the Windows program and the pieces of its shell.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/settings.h"
#include "convert/batch.h"

namespace vrelk {

inline constexpr wchar_t kConvertClass[] = L"Vrelk_convert_class";
inline constexpr wchar_t kSettingClass[] = L"Vrelk_setting_class";
inline constexpr wchar_t kProgressClass[] = L"Vrelk_progress_class";
inline constexpr wchar_t kWindowTitle[] = L"Tessaly";
inline constexpr wchar_t kSameFolderAsInput[] = L"<入力ファイルと同じフォルダ>";

// One child control as the windows' tables list it.
struct ControlLayout {
    int id;
    const wchar_t* className;
    DWORD style;  // besides WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS
    DWORD exStyle;
    const wchar_t* text;
    int x, y, width, height;
};

// What every window of the program is created with.
struct UiResources {
    HINSTANCE instance = nullptr;
    HFONT font = nullptr;
};

// Creates the control in `parent` in the program's font; `text`, when
// given, replaces the layout's.
HWND createControl(HWND parent, const UiResources& ui, const ControlLayout& layout, const wchar_t* text = nullptr);

// The record a window was created with (CreateWindowEx's last argument),
// kept in its user data from WM_NCCREATE on; null for the few messages
// that come before.
template <typename Record>
Record* windowRecord(HWND window, UINT message, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    return reinterpret_cast<Record*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// Control and command ids of the settings window.
enum SettingsControl : int {
    kOutputChoice = 1012,
    kQualityLabel = 1013,
    kQualityEdit = 1014,
    kQualityArrows = 1015,
    kSampling41 = 1017,
    kSampling11 = 1018,
    kLimitCheck = 1019,
    kLimitEdit = 1020,
    kLimitArrows = 1021,
    kLimitLabel = 1022,
    kReduceCheck = 1031,
    kSideWidth = 1032,
    kSideHeight = 1033,
    kSideLong = 1034,
    kReduceSizeEdit = 1035,
    kReduceSizeLabel = 1036,
    kChooseOutputFolder = 1041,
    kClearOutputFolder = 1042,
    kOutputFolderEdit = 1043,
    kSubFolderCheck = 1044,
    kSubFolderEdit = 1045,
    kPluginCheck = 1050,
    kChoosePluginFolder = 1051,
    kDesktopShortcutCheck = 1060,
    kSendToShortcutCheck = 1061,
    kCloseSettings = 1070,
    kHelpButton = 1071,
    kVersionButton = 1072,
    kKeepAlphaCheck = 1091,
    kKeepMetaCheck = 1092,
    kKeepTimeCheck = 1093,
    kAlwaysOnTop = 5000,
};

// The program's state, owned by RunProcess and handed to its two windows
// when they are created; every command reaches it through its window.
struct AppState {
    UiResources ui;
    int osClass = 0;
    DWORD_PTR helpCookie = 0;
    std::vector<std::wstring> fileArguments;
    Settings settings;
    platform::Path iniPath;
    HWND convertWindow = nullptr;
    HWND settingsWindow = nullptr;
    std::optional<std::vector<platform::Path>> pendingDrop;
    bool alwaysOnTop = false;
    // A batch or its message box is under way; the windows must not start
    // another one or drop the list it works on.
    bool busy = false;
    bool closeAfterBatch = false;
    // File lists other starts of the program handed over, each converted as
    // a batch of its own, in the order they came.
    std::deque<std::vector<platform::Path>> handedOver;
};

// Copies the settings window's controls into the settings; run before every
// batch and when the settings window closes.
void ApplyControlsToSettings(HWND settingsWindow, Settings& settings);

// Shared by both windows.
bool registerWindowClasses(HINSTANCE instance);
HWND createConvertWindow(AppState& state);
HWND createSettingsWindow(AppState& state, HWND owner);
void buildSystemMenu(HWND window);
// The messages both windows treat alike; false when not handled.
bool handleCommonMessage(AppState& state, HWND window, UINT message, WPARAM wParam, LRESULT& result);
void runCommand(AppState& state, int command);
void updateReductionEnables(const AppState& state);
// The top-level window the user sees, to own messages; the settings window
// when neither is shown.
HWND visibleWindow(const AppState& state);

LRESULT CALLBACK settingsWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Settings window commands.
void updateFileSizeEnables(HWND settingsWindow);
void chooseOutputFolder(AppState& state);
void clearOutputFolder(AppState& state);
void choosePluginFolder(AppState& state);
void acceptDrop(AppState& state, HDROP drop);
// Files that reach the settings window as a drop does.
void acceptDroppedFiles(AppState& state, std::vector<platform::Path> files);

// A second start's file list: taken into the queue now, placed by
// placeHandedOverFiles once the window thread is free.
bool receiveHandOver(AppState& state, const COPYDATASTRUCT& data);
// Hands the files to a program already running; false when none runs or
// it did not take them, and then this start converts them itself.
bool HandedOverToRunningProgram(const std::vector<std::wstring>& files);
void placeHandedOverFiles(AppState& state);
inline constexpr UINT kHandOverArrived = WM_APP + 2;

bool registerProgressClass(HINSTANCE instance);
// Runs the batch on a thread of its own while this thread dispatches
// messages; a batch still running after half a second shows the progress
// window, owned by the convert window, whose "中止" stops it.
BatchReport RunBatchWithProgress(const AppState& state, std::span<const platform::Path> inputs,
                                 const ConvertOptions& options);
// The message that ends a stopped batch.
void ShowCancelled(HWND owner, std::size_t converted);

// The shell folder picker owned by `owner`, starting at `folder`; the
// chosen folder replaces it. False on cancel or a choice without a path.
bool BrowseForFolder(HWND owner, platform::Path& folder, const std::wstring& title);

// Converts the pending drop, or else the command-line files.
void StartConversion(AppState& state);

// Calls HTML Help, loaded at the first call; null when it is not available
// (then it is never tried again).
HWND LoadHtmlHelp(HWND window, const wchar_t* file, UINT command, DWORD_PTR data);
void initialiseHtmlHelp(DWORD_PTR& cookie);
void uninitialiseHtmlHelp(DWORD_PTR cookie);

}  // namespace vrelk
