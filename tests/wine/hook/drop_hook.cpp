// Loaded into Vrelk.exe by the Wine driver: hands the settings window a
// real HDROP built inside the program's own process, as the shell would.
#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <cwchar>

// `names`: NUL-separated wide paths ending with an empty one, in this
// process's memory.
extern "C" __declspec(dllexport) DWORD WINAPI dropFiles(void* names)
{
    const auto* list = static_cast<const wchar_t*>(names);
    SIZE_T units = 0;
    while (list[units] != L'\0')
        units += std::wcslen(list + units) + 1;
    ++units;

    HGLOBAL drop = GlobalAlloc(GHND, sizeof(DROPFILES) + units * sizeof(wchar_t));
    if (!drop)
        return 1;
    auto* header = static_cast<DROPFILES*>(GlobalLock(drop));
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    std::memcpy(reinterpret_cast<char*>(header) + sizeof(DROPFILES), list, units * sizeof(wchar_t));
    GlobalUnlock(drop);

    HWND target = FindWindowW(L"Vrelk_setting_class", nullptr);
    if (!target || !PostMessageW(target, WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0)) {
        GlobalFree(drop);
        return 2;
    }
    return 0;
}

// What the system menu of `window` shows, as bits: 1 the first item is
// "常に手前に表示" (5000), 2 a separator 6000 follows, 4 no size or maximise
// item is left, 8 item 5000 is checked.
extern "C" __declspec(dllexport) DWORD WINAPI systemMenuFacts(void* window)
{
    HMENU menu = GetSystemMenu(static_cast<HWND>(window), FALSE);
    if (!menu)
        return 0;
    DWORD facts = 0;
    wchar_t text[64] = {};
    GetMenuStringW(menu, 0, text, 64, MF_BYPOSITION);
    if (GetMenuItemID(menu, 0) == 5000 && std::wcscmp(text, L"常に手前に表示") == 0)
        facts |= 1;
    MENUITEMINFOW item{};
    item.cbSize = sizeof(item);
    item.fMask = MIIM_FTYPE | MIIM_ID;
    if (GetMenuItemInfoW(menu, 1, TRUE, &item) && (item.fType & MFT_SEPARATOR) && item.wID == 6000)
        facts |= 2;
    if (GetMenuState(menu, SC_SIZE, MF_BYCOMMAND) == 0xFFFFFFFF &&
        GetMenuState(menu, SC_MAXIMIZE, MF_BYCOMMAND) == 0xFFFFFFFF)
        facts |= 4;
    if (GetMenuState(menu, 5000, MF_BYCOMMAND) & MF_CHECKED)
        facts |= 8;
    return facts;
}

