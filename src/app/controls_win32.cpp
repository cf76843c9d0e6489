#include "app/app_win32.h"

#include <commctrl.h>

#include <cwchar>
#include <string>

namespace vrelk {
namespace {

HWND child(HWND settingsWindow, int id) { return GetDlgItem(settingsWindow, id); }

bool checked(HWND settingsWindow, int id) { return IsDlgButtonChecked(settingsWindow, id) == BST_CHECKED; }

std::wstring textOf(HWND settingsWindow, int id)
{
    HWND control = child(settingsWindow, id);
    int units = GetWindowTextLengthW(control);
    std::wstring text(static_cast<std::size_t>(units) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(control, text.data(), units + 1)));
    return text;
}

std::int32_t arrowsPosition(HWND settingsWindow, int id)
{
    return static_cast<std::int32_t>(SendMessageW(child(settingsWindow, id), UDM_GETPOS32, 0, 0));
}

std::int32_t signedNumber(const std::wstring& text)
{
    long value = std::wcstol(text.c_str(), nullptr, 10);
    return static_cast<std::int32_t>(value);
}

}  // namespace

HWND createControl(HWND parent, const UiResources& ui, const ControlLayout& layout, const wchar_t* text)
{
    HWND control = CreateWindowExW(layout.exStyle, layout.className, text ? text : layout.text,
                                   WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | layout.style, layout.x, layout.y,
                                   layout.width, layout.height, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(layout.id)), ui.instance, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(ui.font), FALSE);
    return control;
}

void ApplyControlsToSettings(HWND settingsWindow, Settings& s)
{
    s.Quality = arrowsPosition(settingsWindow, kQualityArrows);
    s.Sampling = keys::kSamplings[checked(settingsWindow, kSampling11) ? 1 : 0].value;
    s.Limit = checked(settingsWindow, kLimitCheck);
    s.LmtVal = signedNumber(textOf(settingsWindow, kLimitEdit));
    s.Resize = checked(settingsWindow, kReduceCheck);
    s.RszOpt = checked(settingsWindow, kSideWidth)    ? kReduceWidth
               : checked(settingsWindow, kSideHeight) ? kReduceHeight
                                                      : kReduceLongerSide;
    s.RszSize = signedNumber(textOf(settingsWindow, kReduceSizeEdit));
    s.MkDirAdd = checked(settingsWindow, kSubFolderCheck);
    s.MkDirStr = textOf(settingsWindow, kSubFolderEdit);
    s.UseSpi = checked(settingsWindow, kPluginCheck);
    s.KeepAlpha = checked(settingsWindow, kKeepAlphaCheck);
    s.KeepMeta = static_cast<std::int32_t>(IsDlgButtonChecked(settingsWindow, kKeepMetaCheck));
    s.KeepTime = checked(settingsWindow, kKeepTimeCheck);
    applyFolderChecks(s);
    LRESULT choice = SendMessageW(child(settingsWindow, kOutputChoice), CB_GETCURSEL, 0, 0);
    s.DrctCvt = choice == CB_ERR ? 0 : static_cast<std::int32_t>(choice);
}

}  // namespace vrelk
