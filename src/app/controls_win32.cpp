#include "app/controls.h"

namespace vrelk {

// The settings window has no option controls yet, so only the folder checks
// apply.
void ApplyControlsToSettings(Settings& settings) { applyFolderChecks(settings); }

}  // namespace vrelk
