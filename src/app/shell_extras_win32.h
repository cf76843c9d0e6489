// Desktop and Send To shortcuts, the version window and the help file.
#pragma once

#include <windows.h>

#include <string>

#include "app/app_win32.h"
#include "app/settings.h"

namespace vrelk {

// Writes a shortcut to `target` (no arguments, its first icon, shown
// normally); false when COM or the shell refuses.
bool CreateShortcut(const std::wstring& shortcut, const std::wstring& target);

// Sets the shortcut check boxes 1060 and 1061 of the settings window; a
// former Send To shortcut moved on the way sets OldCheck.
void LoadShortcutChecks(HWND settingsWindow, Settings& settings);
// Creates or removes the shortcuts as the check boxes say.
void ApplyShortcutChecks(HWND settingsWindow);
// False when the window could not be created.
bool OpenVersionWindow(HWND owner, const UiResources& ui);
// The help file beside the program.
void ShowHelp();

}  // namespace vrelk
