// Tessaly.lnk on the desktop and in Send To, mirrored by the settings
// window's check boxes, and the one-time move away from the shortcut name
// of earlier versions.
#include "app/shell_extras_win32.h"

#include "app/app_win32.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <array>
#include <memory>
#include <optional>
#include <string>

#include "app/shell_os.h"

namespace vrelk {
namespace {

constexpr wchar_t kShortcutName[] = L"Tessaly.lnk";
constexpr wchar_t kFormerSendToName[] = L"Convert (BMP PNG JPEG).lnk";

struct ShortcutPlace {
    int folder;
    int checkBox;
};
constexpr std::array<ShortcutPlace, 2> kPlaces{{{CSIDL_DESKTOP, kDesktopShortcutCheck},
                                                {CSIDL_SENDTO, kSendToShortcutCheck}}};

struct ComRelease {
    void operator()(IUnknown* object) const { object->Release(); }
};
template <typename T>
using ComPtr = std::unique_ptr<T, ComRelease>;

// None when the shell cannot name the folder or the path would not fit.
std::optional<std::wstring> shortcutPath(int folderId, const wchar_t* name)
{
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, folderId, nullptr, SHGFP_TYPE_CURRENT, folder)) || !folder[0])
        return std::nullopt;
    std::wstring path = folder;
    if (path.back() != L'\\')
        path += L'\\';
    path += name;
    if (path.size() >= MAX_PATH)
        return std::nullopt;
    return path;
}

bool fileExists(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool isChecked(HWND window, int id) { return IsDlgButtonChecked(window, id) == BST_CHECKED; }

void setChecked(HWND window, int id, bool checked)
{
    CheckDlgButton(window, id, checked ? BST_CHECKED : BST_UNCHECKED);
}

std::wstring programPath() { return shell::executablePath().wstring(); }

// Creates the Send To shortcut before removing the old name, so a failure
// leaves the user with a working entry and the move is retried next start.
// True once nothing is left to move.
bool moveFormerSendToShortcut(const std::wstring& shortcut)
{
    std::optional<std::wstring> former = shortcutPath(CSIDL_SENDTO, kFormerSendToName);
    if (!former)
        return false;
    if (!fileExists(*former))
        return true;
    if (!fileExists(shortcut) && !CreateShortcut(shortcut, programPath()))
        return false;
    return DeleteFileW(former->c_str()) != 0;
}

}  // namespace

bool CreateShortcut(const std::wstring& shortcut, const std::wstring& target)
{
    IShellLinkW* rawLink = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&rawLink))))
        return false;
    ComPtr<IShellLinkW> link(rawLink);
    IPersistFile* rawFile = nullptr;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&rawFile))))
        return false;
    ComPtr<IPersistFile> file(rawFile);
    if (FAILED(link->SetPath(target.c_str())) || FAILED(link->SetArguments(L"")) ||
        FAILED(link->SetIconLocation(target.c_str(), 0)) || FAILED(link->SetShowCmd(SW_SHOWNORMAL)))
        return false;
    return SUCCEEDED(file->Save(shortcut.c_str(), TRUE));
}

void LoadShortcutChecks(HWND settingsWindow, Settings& settings)
{
    if (auto desktop = shortcutPath(CSIDL_DESKTOP, kShortcutName))
        setChecked(settingsWindow, kDesktopShortcutCheck, fileExists(*desktop));
    std::optional<std::wstring> sendTo = shortcutPath(CSIDL_SENDTO, kShortcutName);
    if (!sendTo)
        return;
    if (!settings.OldCheck && moveFormerSendToShortcut(*sendTo))
        settings.OldCheck = true;
    setChecked(settingsWindow, kSendToShortcutCheck, fileExists(*sendTo));
}

void ApplyShortcutChecks(HWND settingsWindow)
{
    for (const ShortcutPlace& place : kPlaces) {
        std::optional<std::wstring> shortcut = shortcutPath(place.folder, kShortcutName);
        if (!shortcut)
            continue;
        bool wanted = isChecked(settingsWindow, place.checkBox);
        bool exists = fileExists(*shortcut);
        if (wanted && !exists)
            CreateShortcut(*shortcut, programPath());
        else if (!wanted && exists)
            DeleteFileW(shortcut->c_str());
    }
}

}  // namespace vrelk
