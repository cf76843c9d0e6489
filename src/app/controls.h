#pragma once

#include "app/settings.h"

namespace vrelk {

// Copies the settings window's controls into the settings; run before every
// batch and when the settings window closes.
void ApplyControlsToSettings(Settings& settings);

}  // namespace vrelk
