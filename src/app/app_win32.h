// Process-wide state of the Windows program and the pieces of its shell.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "app/settings.h"

namespace vrelk {

inline constexpr wchar_t kConvertClass[] = L"Vrelk_convert_class";
inline constexpr wchar_t kSettingClass[] = L"Vrelk_setting_class";
inline constexpr wchar_t kWindowTitle[] = L"Tessaly";

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
};

AppState& app();

bool registerWindowClasses();
HWND createConvertWindow();
HWND createSettingsWindow(HWND owner);
void runCommand(int command);

// Converts the pending drop, or else the command-line files.
void StartConversion();

// HTML Help, loaded at run time; false when it is not available.
bool LoadHtmlHelp();
void initialiseHtmlHelp(DWORD_PTR& cookie);
void uninitialiseHtmlHelp(DWORD_PTR cookie);

}  // namespace vrelk
