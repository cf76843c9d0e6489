// The version window: program name and version, a notice, the project's
// web link and an OK button. The settings window stays disabled while it
// is open.
#include "app/shell_extras_win32.h"

#include "app/app_win32.h"
#include "app/version.h"

#include <commctrl.h>
#include <shellapi.h>

#include <array>
#include <memory>
#include <string>

namespace vrelk {
namespace {

constexpr wchar_t kParentClass[] = L"ver_parent_class";
constexpr wchar_t kChildClass[] = L"ver_child_class";
constexpr wchar_t kTitleLine[] = L"Tessaly  version " VRELK_VERSION;
constexpr wchar_t kNoticeLine[] = L"Copyright (C) 2024-2026 Tessaly developers";
constexpr wchar_t kLinkText[] = L"https://tessaly.example.org/";

// What the static link puts inside Vrelk.exe, named as in
// THIRD-PARTY-NOTICES.txt (tests/check_notices.sh holds the two together).
// Shown as the notice line's tip, since the line itself has room only for
// the copyright.
struct LibraryNotice {
    const wchar_t* name;
    const wchar_t* licence;
};
constexpr std::array<LibraryNotice, 12> kLibraries{{
    {L"libjpeg-turbo", L"IJG / BSD-3-Clause"},
    {L"zlib", L"zlib"},
    {L"libdeflate", L"MIT"},
    {L"libwebp", L"BSD-3-Clause"},
    {L"libheif", L"LGPL-3.0-or-later"},
    {L"libde265", L"LGPL-3.0-or-later"},
    {L"dav1d", L"BSD-2-Clause"},
    {L"libaom", L"BSD-2-Clause and the AOMedia Patent License 1.0"},
    {L"lcms2", L"MIT"},
    {L"libtiff", L"libtiff"},
    {L"mingw-w64 runtime", L"ZPL / MIT"},
    {L"GCC runtime", L"GPL-3.0 with the GCC Runtime Library Exception"},
}};
constexpr int kTipWidth = 400;
constexpr int kTipShownMs = 30000;

enum VersionControl : int { kLink = 100, kOkButton = 101, kTitle = 102, kNotice = 103 };

struct VersionWindow {
    HWND window = nullptr;
    UiResources ui;
    HWND owner = nullptr;
    std::wstring titleLine;
    std::wstring noticeLine;
    std::wstring linkText;
    std::wstring libraryNotice;
    WNDPROC buttonProc = nullptr;
};

constexpr std::array<ControlLayout, 3> kFontControls{{
    {kTitle, L"STATIC", SS_ENDELLIPSIS, 0, nullptr, 10, 10, 160, 12},
    {kNotice, L"STATIC", SS_ENDELLIPSIS, 0, nullptr, 28, 30, 195, 12},
    {kOkButton, L"BUTTON", BS_PUSHBUTTON, 0, L"OK", 139, 75, 88, 21},
}};

VersionWindow* recordOf(HWND window)
{
    return reinterpret_cast<VersionWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

bool isCloseKey(WPARAM key) { return key == VK_RETURN || key == VK_ESCAPE; }

LRESULT CALLBACK okButtonProc(HWND button, UINT message, WPARAM wParam, LPARAM lParam)
{
    HWND window = GetParent(button);
    VersionWindow* record = recordOf(window);
    if (message == WM_KEYDOWN && isCloseKey(wParam)) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        return 0;
    }
    return CallWindowProcW(record->buttonProc, button, message, wParam, lParam);
}

// The OK button gets its own procedure back before the record it lives in
// can go away.
void restoreButton(VersionWindow& record)
{
    if (!record.buttonProc)
        return;
    SetWindowLongPtrW(GetDlgItem(record.window, kOkButton), GWLP_WNDPROC,
                      reinterpret_cast<LONG_PTR>(record.buttonProc));
    record.buttonProc = nullptr;
}

void createControls(VersionWindow& record)
{
    const std::array<const std::wstring*, 3> texts{&record.titleLine, &record.noticeLine, nullptr};
    for (std::size_t i = 0; i < kFontControls.size(); ++i) {
        createControl(record.window, record.ui, kFontControls[i], texts[i] ? texts[i]->c_str() : nullptr);
    }
    CreateWindowExW(0, kChildClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 45, 51, 120, 14, record.window,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(kLink)), record.ui.instance, nullptr);
    HWND ok = GetDlgItem(record.window, kOkButton);
    record.buttonProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(ok, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(okButtonProc)));
    SetFocus(ok);
}

std::wstring libraryNoticeText()
{
    std::wstring text = L"Vrelk.exe に含まれるライブラリ:";
    for (const LibraryNotice& library : kLibraries) {
        text += L"\r\n";
        text += library.name;
        text += L" (";
        text += library.licence;
        text += L")";
    }
    text += L"\r\nライセンスの全文: THIRD-PARTY-NOTICES.txt";
    return text;
}

// The notice line is a plain static (it lets the mouse through), so the tip
// watches the notice line's rectangle on the window itself. Without the tip
// the window is still whole; the same list is in the help file.
void addLibraryTip(VersionWindow& record)
{
    HWND tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, record.window, nullptr,
                               record.ui.instance, nullptr);
    if (!tip)
        return;
    record.libraryNotice = libraryNoticeText();
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof(tool);
    tool.uFlags = TTF_SUBCLASS;
    tool.hwnd = record.window;
    tool.uId = kNotice;
    GetWindowRect(GetDlgItem(record.window, kNotice), &tool.rect);
    MapWindowPoints(nullptr, record.window, reinterpret_cast<POINT*>(&tool.rect), 2);
    tool.lpszText = record.libraryNotice.data();
    SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    SendMessageW(tip, TTM_SETMAXTIPWIDTH, 0, kTipWidth);
    SendMessageW(tip, TTM_SETDELAYTIME, TTDT_AUTOPOP, kTipShownMs);
}

void trimSystemMenu(HWND window)
{
    HMENU menu = GetSystemMenu(window, FALSE);
    for (UINT item : {SC_RESTORE, SC_SIZE, SC_MINIMIZE, SC_MAXIMIZE})
        DeleteMenu(menu, item, MF_BYCOMMAND);
}

void unregisterClasses(HINSTANCE instance)
{
    UnregisterClassW(kChildClass, instance);
    UnregisterClassW(kParentClass, instance);
}

// Classes are unregistered only once the window is gone (a class with a
// window cannot be), so the next opening registers them anew.
void closeVersionWindow(HWND window)
{
    VersionWindow* record = recordOf(window);
    HINSTANCE instance = record->ui.instance;
    HWND owner = record->owner;
    restoreButton(*record);
    EnableWindow(owner, TRUE);
    SetForegroundWindow(owner);
    DestroyWindow(window);
    unregisterClasses(instance);
}

LRESULT CALLBACK versionWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_NCCREATE: {
        // The window owns the record from here on, also when creation fails later.
        auto* opener = static_cast<std::unique_ptr<VersionWindow>*>(
            reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        VersionWindow* record = opener->release();
        record->window = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(record));
        break;
    }
    case WM_CREATE:
        trimSystemMenu(window);
        createControls(*recordOf(window));
        addLibraryTip(*recordOf(window));
        return 0;
    case WM_CLOSE:
        closeVersionWindow(window);
        return 0;
    case WM_KEYDOWN:
        if (isCloseKey(wParam))
            closeVersionWindow(window);
        return 0;
    case WM_COMMAND:
        // Posted: the button is still inside its click when it notifies.
        if (LOWORD(wParam) == kOkButton)
            PostMessageW(window, WM_CLOSE, 0, 0);
        return 0;
    case WM_DESTROY:
        if (VersionWindow* record = recordOf(window))
            restoreButton(*record);
        break;
    case WM_NCDESTROY:
        std::unique_ptr<VersionWindow>(recordOf(window)).reset();
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        break;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void paintLink(HWND link)
{
    const VersionWindow* record = recordOf(GetParent(link));
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(link, &paint);
    if (record) {
        HGDIOBJ old = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(0, 0, 255));
        TextOutW(dc, 1, 1, record->linkText.c_str(), static_cast<int>(record->linkText.size()));
        SelectObject(dc, old);
    }
    EndPaint(link, &paint);
}

void openLink(HWND link)
{
    const VersionWindow* record = recordOf(GetParent(link));
    if (!record)
        return;
    SHELLEXECUTEINFOW execute{};
    execute.cbSize = sizeof(execute);
    execute.fMask = SEE_MASK_FLAG_NO_UI;
    execute.hwnd = GetParent(link);
    execute.lpFile = record->linkText.c_str();
    execute.nShow = SW_SHOWNORMAL;
    ShellExecuteExW(&execute);
}

LRESULT CALLBACK linkProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT:
        paintLink(link);
        return 0;
    case WM_LBUTTONDOWN:
        openLink(link);
        return 0;
    default:
        return DefWindowProcW(link, message, wParam, lParam);
    }
}

// A class left over from a window the program's end took away is reused.
bool registerClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure, LPCWSTR cursor)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, cursor);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = name;
    return RegisterClassExW(&windowClass) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

bool OpenVersionWindow(HWND owner, const UiResources& ui)
{
    auto record = std::unique_ptr<VersionWindow>(new (std::nothrow) VersionWindow{});
    if (!record)
        return false;
    record->ui = ui;
    record->owner = owner;
    record->titleLine = kTitleLine;
    record->noticeLine = kNoticeLine;
    record->linkText = kLinkText;
    if (!registerClass(record->ui.instance, kParentClass, versionWindowProc, IDC_ARROW) ||
        !registerClass(record->ui.instance, kChildClass, linkProc, IDC_HAND)) {
        unregisterClasses(record->ui.instance);
        return false;
    }

    const int frame = GetSystemMetrics(SM_CYDLGFRAME);
    const int width = 2 * frame + 235;
    const int height = GetSystemMetrics(SM_CYCAPTION) + 2 * frame + 104;
    RECT ownerRect{};
    GetWindowRect(owner, &ownerRect);
    const int x = (ownerRect.left + ownerRect.right - width) >> 1;
    const int y = (ownerRect.top + ownerRect.bottom - height) >> 1;

    HINSTANCE instance = record->ui.instance;
    EnableWindow(owner, FALSE);
    HWND window = CreateWindowExW(0, kParentClass, L"バージョン情報",
                                  WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN | WS_VISIBLE, x, y,
                                  width, height, owner, nullptr, instance, &record);
    if (!window) {
        EnableWindow(owner, TRUE);
        unregisterClasses(instance);
        return false;
    }
    return true;
}

}  // namespace vrelk
