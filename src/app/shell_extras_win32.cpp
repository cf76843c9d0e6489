// Shortcuts, version window and help are not built yet: the check boxes
// stay unchecked, and the version and help buttons do nothing.
#include "app/shell_extras_win32.h"

namespace vrelk {

void LoadShortcutChecks(HWND) {}

void ApplyShortcutChecks(HWND) {}

bool OpenVersionWindow(HWND) { return true; }

void ShowHelp() {}

}  // namespace vrelk
