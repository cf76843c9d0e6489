// The settings window: one control per stored option, the folder pickers
// and the drop target of a program started without files.
#include "app/app_win32.h"

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <array>
#include <memory>
#include <string>

#include "app/commands.h"
#include "app/shell_extras_win32.h"

namespace vrelk {
namespace {

// Not const: the shortcut check boxes record a moved Send To shortcut.
using InitControl = void (*)(HWND control, Settings& settings);

// A control of the settings window and how it shows its setting.
struct SettingsEntry {
    ControlLayout layout;
    InitControl init;
};

constexpr DWORD kEditStyle = ES_NUMBER | ES_RIGHT;
constexpr DWORD kArrowsStyle = UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_ARROWKEYS | UDS_NOTHOUSANDS;
constexpr const wchar_t* kChooseAtRunTime = L"実行時に選択";

void check(HWND button, bool checked) { SendMessageW(button, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0); }

void limitText(HWND edit, int units) { SendMessageW(edit, EM_LIMITTEXT, static_cast<WPARAM>(units), 0); }

// Up-downs attach to the edit created just before them.
void attachArrows(HWND arrows, int min, int max, int position)
{
    SendMessageW(arrows, UDM_SETBUDDY, reinterpret_cast<WPARAM>(GetWindow(arrows, GW_HWNDPREV)), 0);
    SendMessageW(arrows, UDM_SETRANGE32, static_cast<WPARAM>(min), static_cast<LPARAM>(max));
    SendMessageW(arrows, UDM_SETPOS32, 0, static_cast<LPARAM>(position));
}

void fillOutputChoices(HWND combo, Settings& s)
{
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kChooseAtRunTime));
    for (const OutputFormat& format : OutputFormats()) {
        const std::wstring name = platform::fromUtf8(format.name);
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    }
    SendMessageW(combo, CB_SETEXTENDEDUI, TRUE, 0);
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(s.DrctCvt), 0);
}

std::wstring outputFolderText(const platform::Path& folder)
{
    return folder.empty() ? std::wstring(kSameFolderAsInput) : folder.native();
}

constexpr std::array<SettingsEntry, 37> kSettingsControls{{
    {{1010, L"BUTTON", BS_GROUPBOX, WS_EX_TRANSPARENT, L"保存オプション", 5, 5, 400, 70}, nullptr},
    {{1011, L"STATIC", SS_ENDELLIPSIS, 0, L"出力形式↓", 19, 25, 60, 16}, nullptr},
    {{kOutputChoice, L"COMBOBOX", CBS_DROPDOWNLIST | WS_VSCROLL, 0, L"", 15, 44, 100, 400}, fillOutputChoices},
    {{kQualityLabel, L"STATIC", 0, 0, L"JPEG画質", 149, 25, 55, 14}, nullptr},
    {{kQualityEdit, L"EDIT", kEditStyle, WS_EX_CLIENTEDGE, L"", 205, 22, 45, 18},
     [](HWND edit, Settings&) { limitText(edit, 3); }},
    {{kQualityArrows, UPDOWN_CLASSW, kArrowsStyle, 0, L"", 0, 0, 0, 0},
     [](HWND arrows, Settings& s) { attachArrows(arrows, keys::kQuality.low, keys::kQuality.high, s.Quality); }},
    {{1016, L"STATIC", 0, 0, L"サンプル比", 266, 25, 55, 14}, nullptr},
    {{kSampling41, L"BUTTON", BS_AUTORADIOBUTTON | WS_GROUP, 0, L"4:1", 325, 23, 34, 16},
     [](HWND radio, Settings& s) { check(radio, s.Sampling != keys::kSamplings[1].value); }},
    {{kSampling11, L"BUTTON", BS_AUTORADIOBUTTON, 0, L"1:1", 361, 23, 34, 16},
     [](HWND radio, Settings& s) { check(radio, s.Sampling == keys::kSamplings[1].value); }},
    {{kLimitCheck, L"BUTTON", BS_AUTOCHECKBOX, 0, L"ファイルサイズ指定", 149, 47, 108, 16},
     [](HWND box, Settings& s) { check(box, s.Limit); }},
    {{kLimitEdit, L"EDIT", kEditStyle, WS_EX_CLIENTEDGE, L"", 258, 46, 52, 18},
     [](HWND edit, Settings&) { limitText(edit, 4); }},
    {{kLimitArrows, UPDOWN_CLASSW, kArrowsStyle, 0, L"", 0, 0, 0, 0},
     [](HWND arrows, Settings& s) {
         attachArrows(arrows, keys::kLmtVal.low, keys::kLmtVal.high, s.LmtVal);
         // The arrows hold the nearest bound; the edit keeps the stored size
         // in sight, for the batch to refuse rather than quietly change.
         SetWindowTextW(GetWindow(arrows, GW_HWNDPREV), std::to_wstring(s.LmtVal).c_str());
     }},
    {{kLimitLabel, L"STATIC", SS_CENTER, 0, L"KB 以下", 312, 49, 50, 12},
     [](HWND label, Settings&) { updateFileSizeEnables(GetParent(label)); }},
    {{1030, L"BUTTON", BS_GROUPBOX, WS_EX_TRANSPARENT, L"画像サイズ縮小", 5, 85, 400, 44}, nullptr},
    {{kReduceCheck, L"BUTTON", BS_AUTOCHECKBOX | WS_GROUP, 0, L"縮小", 15, 103, 44, 16},
     [](HWND box, Settings& s) { check(box, s.Resize); }},
    {{kSideWidth, L"BUTTON", BS_AUTORADIOBUTTON | WS_GROUP, 0, L"横", 74, 103, 34, 16},
     [](HWND radio, Settings& s) { check(radio, s.RszOpt == kReduceWidth); }},
    {{kSideHeight, L"BUTTON", BS_AUTORADIOBUTTON, 0, L"縦", 110, 103, 34, 16},
     [](HWND radio, Settings& s) { check(radio, s.RszOpt == kReduceHeight); }},
    {{kSideLong, L"BUTTON", BS_AUTORADIOBUTTON, 0, L"長辺", 146, 103, 40, 16},
     [](HWND radio, Settings& s) { check(radio, s.RszOpt != kReduceWidth && s.RszOpt != kReduceHeight); }},
    {{kReduceSizeEdit, L"EDIT", kEditStyle, WS_EX_CLIENTEDGE, L"", 205, 102, 50, 18},
     [](HWND edit, Settings& s) {
         limitText(edit, 4);
         SetWindowTextW(edit, std::to_wstring(s.RszSize).c_str());
     }},
    {{kReduceSizeLabel, L"STATIC", 0, 0, L"ピクセル（縦横比率保持）", 258, 105, 140, 15}, nullptr},
    {{1040, L"BUTTON", BS_GROUPBOX, WS_EX_TRANSPARENT, L"出力フォルダ", 5, 139, 400, 75}, nullptr},
    {{kChooseOutputFolder, L"BUTTON", BS_PUSHBUTTON, 0, L"設定", 323, 157, 36, 22}, nullptr},
    {{kClearOutputFolder, L"BUTTON", BS_PUSHBUTTON, 0, L"解除", 359, 157, 36, 22}, nullptr},
    {{kOutputFolderEdit, L"EDIT", ES_READONLY | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, L"", 15, 159, 308, 18},
     [](HWND edit, Settings& s) {
         limitText(edit, MAX_PATH);
         SetWindowTextW(edit, outputFolderText(s.OutDir).c_str());
     }},
    {{kSubFolderCheck, L"BUTTON", BS_AUTOCHECKBOX, 0, L"出力先にフォルダを作成して保存", 15, 186, 175, 16},
     [](HWND box, Settings& s) { check(box, s.MkDirAdd); }},
    {{kSubFolderEdit, L"EDIT", ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, L"", 191, 185, 204, 18},
     [](HWND edit, Settings& s) {
         limitText(edit, 20);
         SetWindowTextW(edit, s.MkDirStr.c_str());
     }},
    {{kDesktopShortcutCheck, L"BUTTON", BS_AUTOCHECKBOX, 0, L"デスクトップにショートカット作成", 15, 224, 165, 16},
     nullptr},
    {{kSendToShortcutCheck, L"BUTTON", BS_AUTOCHECKBOX, 0, L"「送る」メニューに登録", 205, 224, 120, 16},
     [](HWND box, Settings& s) { LoadShortcutChecks(GetParent(box), s); }},
    {{kPluginCheck, L"BUTTON", BS_AUTOCHECKBOX, 0, L"プラグイン使用", 15, 257, 90, 16},
     [](HWND box, Settings& s) { check(box, s.UseSpi); }},
    {{kChoosePluginFolder, L"BUTTON", BS_PUSHBUTTON, 0, L"設定", 106, 254, 36, 22}, nullptr},
    {{kCloseSettings, L"BUTTON", BS_PUSHBUTTON, 0, L"閉じる", 205, 254, 85, 22}, nullptr},
    {{kHelpButton, L"BUTTON", BS_PUSHBUTTON, 0, L"ヘルプ", 300, 254, 50, 22}, nullptr},
    {{kVersionButton, L"BUTTON", BS_PUSHBUTTON, 0, L"Ver.", 360, 254, 40, 22}, nullptr},
    {{1090, L"BUTTON", BS_GROUPBOX, WS_EX_TRANSPARENT, L"元の情報の保持", 5, 284, 400, 44}, nullptr},
    {{kKeepAlphaCheck, L"BUTTON", BS_AUTOCHECKBOX, 0, L"透過", 15, 302, 120, 16},
     [](HWND box, Settings& s) { check(box, s.KeepAlpha); }},
    // Checked keeps all of it, the third state all but the location:
    // the button's states are KeepMeta's values.
    {{kKeepMetaCheck, L"BUTTON", BS_AUTO3STATE, 0, L"メタデータ", 140, 302, 120, 16},
     [](HWND box, Settings& s) { SendMessageW(box, BM_SETCHECK, static_cast<WPARAM>(s.KeepMeta), 0); }},
    {{kKeepTimeCheck, L"BUTTON", BS_AUTOCHECKBOX, 0, L"更新日時", 275, 302, 120, 16},
     [](HWND box, Settings& s) { check(box, s.KeepTime); }},
}};

void createControls(HWND window, AppState& state)
{
    for (const SettingsEntry& entry : kSettingsControls) {
        HWND control = createControl(window, state.ui, entry.layout);
        if (entry.init)
            entry.init(control, state.settings);
    }
}

// Runs a folder pick with the process's current directory kept, since the
// picker may move it.
template <typename Pick>
void keepingCurrentDirectory(Pick pick)
{
    DWORD units = GetCurrentDirectoryW(0, nullptr);
    std::wstring saved(units, L'\0');
    bool known = units != 0 && GetCurrentDirectoryW(units, saved.data()) != 0;
    pick();
    if (known)
        SetCurrentDirectoryW(saved.c_str());
}

int CALLBACK selectInitialFolder(HWND picker, UINT message, LPARAM, LPARAM initial)
{
    if (message == BFFM_INITIALIZED && initial)
        SendMessageW(picker, BFFM_SETSELECTIONW, TRUE, initial);
    return 0;
}

struct ItemListFree {
    void operator()(ITEMIDLIST* items) const { CoTaskMemFree(items); }
};

// The first dropped name decides whether the drop counts; names are read
// at their full length.
std::vector<platform::Path> droppedFiles(HDROP drop)
{
    std::vector<platform::Path> files;
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        UINT units = DragQueryFileW(drop, i, nullptr, 0);
        std::wstring name(units + 1, L'\0');
        if (units == 0 || DragQueryFileW(drop, i, name.data(), units + 1) != units)
            continue;
        name.resize(units);
        files.emplace_back(std::move(name));
    }
    return files;
}

}  // namespace

bool BrowseForFolder(HWND owner, platform::Path& folder, const std::wstring& title)
{
    std::wstring initial = folder.native();
    BROWSEINFOW info{};
    info.hwndOwner = owner;
    info.lpszTitle = title.c_str();
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    info.lpfn = selectInitialFolder;
    info.lParam = initial.empty() ? 0 : reinterpret_cast<LPARAM>(initial.c_str());
    std::unique_ptr<ITEMIDLIST, ItemListFree> items(SHBrowseForFolderW(&info));
    if (!items)
        return false;
    std::array<wchar_t, MAX_PATH> chosen{};
    if (!SHGetPathFromIDListW(items.get(), chosen.data()))
        return false;
    folder = platform::Path(chosen.data());
    return true;
}

void updateFileSizeEnables(HWND settingsWindow)
{
    const bool limit = IsDlgButtonChecked(settingsWindow, kLimitCheck) == BST_CHECKED;
    for (int id : {kQualityLabel, kQualityEdit, kQualityArrows})
        EnableWindow(GetDlgItem(settingsWindow, id), !limit);
    for (int id : {kLimitEdit, kLimitArrows, kLimitLabel})
        EnableWindow(GetDlgItem(settingsWindow, id), limit);
}

void chooseOutputFolder(AppState& state)
{
    keepingCurrentDirectory([&state] {
        platform::Path folder = state.settings.OutDir;
        if (!BrowseForFolder(state.settingsWindow, folder, L"フォルダ設定"))
            return;
        SetDlgItemTextW(state.settingsWindow, kOutputFolderEdit, folder.c_str());
        state.settings.OutDir = folder;
    });
}

void clearOutputFolder(AppState& state)
{
    SetDlgItemTextW(state.settingsWindow, kOutputFolderEdit, kSameFolderAsInput);
    state.settings.OutDir.clear();
}

void choosePluginFolder(AppState& state)
{
    keepingCurrentDirectory([&state] {
        platform::Path folder = state.settings.SPI;
        if (BrowseForFolder(state.settingsWindow, folder, L"設定パス: " + state.settings.SPI.native()))
            state.settings.SPI = folder;
    });
}

void acceptDrop(AppState& state, HDROP drop)
{
    std::vector<platform::Path> files = droppedFiles(drop);
    DragFinish(drop);
    acceptDroppedFiles(state, std::move(files));
}

void acceptDroppedFiles(AppState& state, std::vector<platform::Path> files)
{
    if (state.busy || files.empty() || platform::folderExists(files.front()))
        return;

    state.pendingDrop = std::move(files);
    LRESULT choice = SendDlgItemMessageW(state.settingsWindow, kOutputChoice, CB_GETCURSEL, 0, 0);
    state.settings.DrctCvt = choice == CB_ERR ? 0 : static_cast<std::int32_t>(choice);
    if (const OutputFormat* format = OutputForDirectChoice(state.settings.DrctCvt)) {
        state.settings.outputType = format->outputType;
        StartConversion(state);
        return;
    }
    ShowWindow(state.convertWindow, SW_SHOW);
    ShowWindow(state.settingsWindow, SW_HIDE);
}

LRESULT CALLBACK settingsWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    AppState* state = windowRecord<AppState>(window, message, lParam);
    if (!state)
        return DefWindowProcW(window, message, wParam, lParam);
    LRESULT result = 0;
    switch (message) {
    case WM_CREATE:
        // The controls' set-up reaches siblings through the window's handle.
        state->settingsWindow = window;
        buildSystemMenu(window);
        createControls(window, *state);
        return 0;
    case WM_CLOSE:
        runCommand(*state, kCloseSettings);
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
        acceptDrop(*state, reinterpret_cast<HDROP>(wParam));
        return 0;
    default:
        if (handleCommonMessage(*state, window, message, wParam, result))
            return result;
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace vrelk
