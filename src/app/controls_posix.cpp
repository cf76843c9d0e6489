// Without a settings window the values come from the settings file; they
// are bounded here as the window's controls would bound them.
#include <algorithm>

#include "app/controls.h"

namespace vrelk {

void ApplyControlsToSettings(Settings& settings)
{
    settings.Quality = std::clamp(settings.Quality, 1, 100);
    settings.LmtVal = std::clamp(settings.LmtVal, 1, 32767);
    applyFolderChecks(settings);
}

}  // namespace vrelk
