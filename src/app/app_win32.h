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

// Creates the control in `parent` in the program's font; `text`, when
// given, replaces the layout's.
HWND createControl(HWND parent, HINSTANCE instance, const ControlLayout& layout, const wchar_t* text = nullptr);

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
    kAlwaysOnTop = 5000,
};

struct AppState {
    HINSTANCE instance = nullptr;
    int osClass = 0;
    HFONT uiFont = nullptr;
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

AppState& app();

// Copies the settings window's controls into the settings; run before every
// batch and when the settings window closes.
void ApplyControlsToSettings(HWND settingsWindow, Settings& settings);

// Shared by both windows.
bool registerWindowClasses();
HWND createConvertWindow();
HWND createSettingsWindow(HWND owner);
void buildSystemMenu(HWND window);
// The messages both windows treat alike; false when not handled.
bool handleCommonMessage(HWND window, UINT message, WPARAM wParam, LRESULT& result);
void runCommand(int command);
void updateReductionEnables();
// The top-level window the user sees, to own messages; the settings window
// when neither is shown.
HWND visibleWindow();

LRESULT CALLBACK settingsWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Settings window commands.
void updateFileSizeEnables();
void chooseOutputFolder();
void clearOutputFolder();
void choosePluginFolder();
void acceptDrop(HDROP drop);
// Files that reach the settings window as a drop does.
void acceptDroppedFiles(std::vector<platform::Path> files);

// A second start's file list: taken into the queue now, placed by
// placeHandedOverFiles once the window thread is free.
bool receiveHandOver(const COPYDATASTRUCT& data);
// Hands the files to a program already running; false when none runs or
// it did not take them, and then this start converts them itself.
bool HandedOverToRunningProgram(const std::vector<std::wstring>& files);
void placeHandedOverFiles();
inline constexpr UINT kHandOverArrived = WM_APP + 2;

bool registerProgressClass();
// Runs the batch on a thread of its own while this thread dispatches
// messages; a batch still running after half a second shows the progress
// window, whose "中止" stops it.
BatchReport RunBatchWithProgress(std::span<const platform::Path> inputs, const ConvertOptions& options);
// The message that ends a stopped batch.
void ShowCancelled(std::size_t converted);

// The shell folder picker owned by `owner`, starting at `folder`; the
// chosen folder replaces it. False on cancel or a choice without a path.
bool BrowseForFolder(HWND owner, platform::Path& folder, const std::wstring& title);

// Converts the pending drop, or else the command-line files.
void StartConversion();

// Calls HTML Help, loaded at the first call; null when it is not available
// (then it is never tried again).
HWND LoadHtmlHelp(HWND window, const wchar_t* file, UINT command, DWORD_PTR data);
void initialiseHtmlHelp(DWORD_PTR& cookie);
void uninitialiseHtmlHelp(DWORD_PTR cookie);

}  // namespace vrelk
