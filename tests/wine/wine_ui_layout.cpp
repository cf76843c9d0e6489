// Every control of both windows as the user gets them: class, id, text,
// rectangle, styles, enabled and initial state from a prepared Vrelk.ini,
// and the windows' own sizes and places from the system metrics.
#include "wine_ui.h"

#include <array>
#include <commctrl.h>

namespace {

using namespace wine_ui;

constexpr DWORD kChildStyles = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;

struct Expected {
    int id;
    const wchar_t* className;
    DWORD style;  // bits that must be set besides kChildStyles
    DWORD exStyle;
    const wchar_t* text;
    int x, y, width, height;
    bool enabled;
};

// Up-downs have no rectangle of their own (they sit at their edit's right
// edge); a combo box reports the height of its closed field.
constexpr int kPlacedByBuddy = -1;

constexpr DWORD kDigits = ES_NUMBER | ES_RIGHT;
constexpr DWORD kArrows = UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_ARROWKEYS | UDS_NOTHOUSANDS;

// Prepared settings: file-size target and reduction on, so both halves of
// each enable rule show.
constexpr std::array<Expected, 37> kSettingsControls{{
    {1010, L"Button", BS_GROUPBOX, WS_EX_TRANSPARENT, L"保存オプション", 5, 5, 400, 70, true},
    {1011, L"Static", SS_ENDELLIPSIS, 0, L"出力形式↓", 19, 25, 60, 16, true},
    // Wine drops WS_VSCROLL from a drop-down list and reports the closed
    // height, so neither is checked here.
    {1012, L"ComboBox", CBS_DROPDOWNLIST, 0, L"JPEG", 15, 44, 100, kPlacedByBuddy, true},
    {1013, L"Static", 0, 0, L"JPEG画質", 149, 25, 55, 14, false},
    {1014, L"Edit", kDigits, WS_EX_CLIENTEDGE, L"55", 205, 22, 45, 18, false},
    {1015, L"msctls_updown32", kArrows, 0, L"", kPlacedByBuddy, 0, 0, 0, false},
    {1016, L"Static", 0, 0, L"サンプル比", 266, 25, 55, 14, true},
    {1017, L"Button", BS_AUTORADIOBUTTON | WS_GROUP, 0, L"4:1", 325, 23, 34, 16, true},
    {1018, L"Button", BS_AUTORADIOBUTTON, 0, L"1:1", 361, 23, 34, 16, true},
    {1019, L"Button", BS_AUTOCHECKBOX, 0, L"ファイルサイズ指定", 149, 47, 108, 16, true},
    {1020, L"Edit", kDigits, WS_EX_CLIENTEDGE, L"300", 258, 46, 52, 18, true},
    {1021, L"msctls_updown32", kArrows, 0, L"", kPlacedByBuddy, 0, 0, 0, true},
    {1022, L"Static", SS_CENTER, 0, L"KB 以下", 312, 49, 50, 12, true},
    {1030, L"Button", BS_GROUPBOX, WS_EX_TRANSPARENT, L"画像サイズ縮小", 5, 85, 400, 44, true},
    {1031, L"Button", BS_AUTOCHECKBOX | WS_GROUP, 0, L"縮小", 15, 103, 44, 16, true},
    {1032, L"Button", BS_AUTORADIOBUTTON | WS_GROUP, 0, L"横", 74, 103, 34, 16, true},
    {1033, L"Button", BS_AUTORADIOBUTTON, 0, L"縦", 110, 103, 34, 16, true},
    {1034, L"Button", BS_AUTORADIOBUTTON, 0, L"長辺", 146, 103, 40, 16, true},
    {1035, L"Edit", kDigits, WS_EX_CLIENTEDGE, L"-64", 205, 102, 50, 18, true},
    {1036, L"Static", 0, 0, L"ピクセル（縦横比率保持）", 258, 105, 140, 15, true},
    {1040, L"Button", BS_GROUPBOX, WS_EX_TRANSPARENT, L"出力フォルダ", 5, 139, 400, 75, true},
    {1041, L"Button", BS_PUSHBUTTON, 0, L"設定", 323, 157, 36, 22, true},
    {1042, L"Button", BS_PUSHBUTTON, 0, L"解除", 359, 157, 36, 22, true},
    {1043, L"Edit", ES_READONLY | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, nullptr, 15, 159, 308, 18, true},
    {1044, L"Button", BS_AUTOCHECKBOX, 0, L"出力先にフォルダを作成して保存", 15, 186, 175, 16, true},
    {1045, L"Edit", ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, L"Sub", 191, 185, 204, 18, true},
    {1060, L"Button", BS_AUTOCHECKBOX, 0, L"デスクトップにショートカット作成", 15, 224, 165, 16, true},
    {1061, L"Button", BS_AUTOCHECKBOX, 0, L"「送る」メニューに登録", 205, 224, 120, 16, true},
    {1050, L"Button", BS_AUTOCHECKBOX, 0, L"プラグイン使用", 15, 257, 90, 16, true},
    {1051, L"Button", BS_PUSHBUTTON, 0, L"設定", 106, 254, 36, 22, true},
    {1070, L"Button", BS_PUSHBUTTON, 0, L"閉じる", 205, 254, 85, 22, true},
    {1071, L"Button", BS_PUSHBUTTON, 0, L"ヘルプ", 300, 254, 50, 22, true},
    {1072, L"Button", BS_PUSHBUTTON, 0, L"Ver.", 360, 254, 40, 22, true},
    {1090, L"Button", BS_GROUPBOX, WS_EX_TRANSPARENT, L"元の情報の保持", 5, 284, 400, 44, true},
    {1091, L"Button", BS_AUTOCHECKBOX, 0, L"透過", 15, 302, 120, 16, true},
    {1092, L"Button", BS_AUTO3STATE, 0, L"メタデータ", 140, 302, 120, 16, true},
    {1093, L"Button", BS_AUTOCHECKBOX, 0, L"更新日時", 275, 302, 120, 16, true},
}};

// One grid: the format buttons in the first row, AVIF's in a fifth column,
// the two JPEG writes centred under the first four, the reduction check and
// the settings button under the fourth column's right edge.
constexpr std::array<Expected, 9> kConvertControls{{
    {1000, L"Button", BS_PUSHBUTTON, 0, L"BMP(B)", 10, 10, 60, 24, true},
    {1001, L"Button", BS_PUSHBUTTON, 0, L"PNG(P)", 75, 10, 60, 24, true},
    {1003, L"Button", BS_PUSHBUTTON, 0, L"GIF(G)", 140, 10, 60, 24, true},
    {1007, L"Button", BS_PUSHBUTTON, 0, L"WebP(W)", 205, 10, 60, 24, true},
    {1008, L"Button", BS_PUSHBUTTON, 0, L"AVIF(A)", 270, 10, 60, 24, true},
    {1002, L"Button", BS_PUSHBUTTON, 0, L"JPEG(J)", 57, 39, 65, 24, true},
    {1004, L"Button", BS_PUSHBUTTON, 0, L"JPEG変換(T)", 127, 39, 90, 24, false},
    {1005, L"Button", BS_AUTOCHECKBOX, 0, L"画像サイズ縮小", 13, 77, 97, 16, true},
    {1006, L"Button", BS_PUSHBUTTON, 0, L"設定変更(S)", 180, 73, 85, 24, true},
}};

// The button kind lives in the low four bits; other styles are plain bits.
bool hasStyles(HWND control, const Expected& e)
{
    DWORD style = styleOf(control);
    bool kind = lstrcmpiW(e.className, L"Button") != 0 || (style & BS_TYPEMASK) == (e.style & BS_TYPEMASK);
    DWORD bits = lstrcmpiW(e.className, L"Button") == 0 ? (e.style & ~BS_TYPEMASK) : e.style;
    return kind && (style & (kChildStyles | bits)) == (kChildStyles | bits) &&
           (exStyleOf(control) & e.exStyle) == e.exStyle;
}

bool hasRect(HWND control, const Expected& e)
{
    if (e.x == kPlacedByBuddy) {
        // The arrows sit at their edit's right, overlapping its 2-pixel
        // border, and the edit gives up the arrows' width (Wine measured:
        // edit 205..234, arrows 232..248 for a 45-wide edit at 205).
        HWND buddy = GetWindow(control, GW_HWNDPREV);
        RECT arrows = clientRectOf(control), edit = clientRectOf(buddy);
        return arrows.left == edit.right - 2 && arrows.top == edit.top && arrows.bottom == edit.bottom &&
               arrows.right > arrows.left;
    }
    RECT r = clientRectOf(control);
    if (e.height == kPlacedByBuddy)
        return r.left == e.x && r.top == e.y && r.right - r.left == e.width;
    bool shrunk = GetWindow(control, GW_HWNDNEXT) &&
                  lstrcmpiW(Window(GetWindow(control, GW_HWNDNEXT)).className().c_str(), L"msctls_updown32") == 0;
    if (shrunk)
        return r.left == e.x && r.top == e.y && r.bottom - r.top == e.height &&
               r.right == e.x + e.width - (clientRectOf(GetWindow(control, GW_HWNDNEXT)).right -
                                           clientRectOf(GetWindow(control, GW_HWNDNEXT)).left);
    return sameRect(r, e.x, e.y, e.width, e.height);
}

template <std::size_t N>
void checkControls(Harness& h, const Window& window, const std::array<Expected, N>& table, const wchar_t* label)
{
    HWND previous = nullptr;
    for (const Expected& e : table) {
        HWND control = window.child(e.id);
        std::wstring name = std::wstring(label) + L" " + std::to_wstring(e.id);
        h.check(control != nullptr, name + L": exists");
        if (!control)
            continue;
        h.check(lstrcmpiW(Window(control).className().c_str(), e.className) == 0, name + L": class");
        if (e.text)
            h.check(controlText(control) == e.text, name + L": text");
        h.check(hasRect(control, e), name + L": rectangle");
        h.check(hasStyles(control, e), name + L": styles");
        h.check((IsWindowEnabled(control) != 0) == e.enabled, name + L": enabled state");
        h.check(!previous || GetWindow(previous, GW_HWNDNEXT) == control, name + L": created in table order");
        previous = control;
    }
}

// Outer size from the client size and dialog frame, centred in the work area.
void checkFrame(Harness& h, const Window& window, int clientWidth, int clientHeight, const wchar_t* label)
{
    int width = 2 * GetSystemMetrics(SM_CXDLGFRAME) + clientWidth;
    int height = GetSystemMetrics(SM_CYCAPTION) + 2 * GetSystemMetrics(SM_CYDLGFRAME) + clientHeight;
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    RECT r{};
    GetWindowRect(window.handle(), &r);
    std::wstring name(label);
    h.check(sameRect(r, (work.right - work.left - width) / 2, (work.bottom - work.top - height) / 2, width, height),
            name + L": outer size and centring from the system metrics");
    DWORD style = styleOf(window.handle());
    h.check((style & (WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN)) == (WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN) &&
                !(style & (WS_MAXIMIZEBOX | WS_THICKFRAME)),
            name + L": minimise box only, fixed size");
    h.check((exStyleOf(window.handle()) & (WS_EX_APPWINDOW | WS_EX_DLGMODALFRAME)) ==
                (WS_EX_APPWINDOW | WS_EX_DLGMODALFRAME),
            name + L": taskbar window with a dialog frame");
    h.check(window.caption() == L"Tessaly", name + L": title");
    Hook hook(window.handle());
    DWORD facts = hook.call("systemMenuFacts", window.handle());
    h.check(facts != 0xFFFFFFFF && (facts & 7) == 7, name + L": system menu starts with always-on-top");
}

}  // namespace

WINE_TEST(uiSettingsWindowControlsFromPreparedSettings)
{
    Folder folder = h.freshFolder(L"ui-layout");
    Folder out = h.freshFolder(L"ui-layout-out");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings((L"Quality=55\r\nSampling=2\r\nLimit=1\r\nLmtVal=300\r\nResize=1\r\nRszOpt=1\r\n"
                         L"RszSize=-64\r\nOutDir=" + out.path() + L"\r\nMkDirAdd=1\r\nMkDirStr=Sub\r\nUseSpi=1\r\n"
                         L"SPI=" + out.path() + L"\r\nDrctCvt=3\r\nKeepMeta=2\r\nKeepTime=1\r\n").c_str());

    Process run = Process::start(exe, {}, folder.path());
    Window settings = run.waitForWindow(L"Vrelk_setting_class", 10000);
    h.check(settings.visible(), L"settings: shown when started without files");
    h.check(!run.findWindow(L"Vrelk_convert_class").visible(), L"settings: convert window hidden");
    checkFrame(h, settings, 410, 334, L"settings window");
    checkControls(h, settings, kSettingsControls, L"settings");

    h.check(controlText(settings.child(1043)) == out.path(), L"settings: output folder shown");
    h.check(send(settings.child(1012), CB_GETCOUNT) == 8 && send(settings.child(1012), CB_GETCURSEL) == 3 &&
                send(settings.child(1012), CB_GETEXTENDEDUI) != 0,
            L"settings: eight output choices, DrctCvt selected, extended keyboard");
    wchar_t last[16] = {};
    send(settings.child(1012), CB_GETLBTEXT, 6, reinterpret_cast<LPARAM>(last));
    h.check(std::wstring(last) == L"WebP", L"settings: WebP stays the seventh output choice");
    send(settings.child(1012), CB_GETLBTEXT, 7, reinterpret_cast<LPARAM>(last));
    h.check(std::wstring(last) == L"AVIF", L"settings: AVIF is the last output choice");
    h.check(send(settings.child(1014), EM_GETLIMITTEXT) == 3 && send(settings.child(1020), EM_GETLIMITTEXT) == 4 &&
                send(settings.child(1035), EM_GETLIMITTEXT) == 4 && send(settings.child(1045), EM_GETLIMITTEXT) == 20,
            L"settings: edit lengths 3, 4, 4 and 20");
    const std::array<std::pair<int, bool>, 11> states{{{1017, false}, {1018, true}, {1019, true}, {1031, true},
                                                        {1032, false}, {1033, true}, {1034, false}, {1044, true},
                                                        {1050, true}, {1060, false}, {1093, true}}};
    h.check(send(settings.child(1092), BM_GETCHECK) == BST_INDETERMINATE, L"settings: KeepMeta=2 is the third state");
    for (auto [id, on] : states)
        h.check(checked(settings.child(id)) == on, L"settings: initial check of " + std::to_wstring(id));
    h.check(!checked(settings.child(1061)), L"settings: Send To check starts unchecked");
    LRESULT range = send(settings.child(1021), UDM_GETRANGE);
    h.check(send(settings.child(1015), UDM_GETPOS32) == 55 && send(settings.child(1021), UDM_GETPOS32) == 300 &&
                LOWORD(range) == 32767 && HIWORD(range) == 1,
            L"settings: arrows hold Quality and LmtVal within their ranges");
    screenshot(settings.handle(), L"settings-window");

    settings.close();
    h.check(run.waitForExit(10000), L"settings: closing it ends a run without files");
}

WINE_TEST(uiConvertWindowControls)
{
    Folder folder = h.freshFolder(L"ui-convert");
    std::wstring exe = folder.install(h.program(), L"Vrelk.exe");
    folder.writeSettings(L"Resize=1\r\n");
    std::wstring input = folder.writeFile(L"a.bmp", {});

    Process run = Process::start(exe, {input}, folder.path());
    Window convert = run.waitForWindow(L"Vrelk_convert_class", 10000);
    h.check(convert.visible(), L"convert: shown when started with files and DrctCvt 0");
    h.check(!run.findWindow(L"Vrelk_setting_class").visible(), L"convert: settings window hidden");
    checkFrame(h, convert, 340, 107, L"convert window");
    checkControls(h, convert, kConvertControls, L"convert");
    h.check(checked(convert.child(1005)), L"convert: reduction check follows Resize");
    screenshot(convert.handle(), L"convert-window");
    convert.key(VK_ESCAPE);
    h.check(run.waitForExit(10000), L"convert: Esc ends the program");
}
