// How the shells start a batch: the settings become the engine's options,
// and the batch's outcome becomes one of the five messages.
#pragma once

#include <functional>
#include <span>

#include "app/messages.h"
#include "app/settings.h"
#include "convert/batch.h"

namespace vrelk {

ConvertOptions optionsFromSettings(const Settings& settings);

// What the batch needs from the shell that starts it.
struct BatchHost {
    Settings& settings;
    // Copies the settings window's controls into the settings.
    std::function<void(Settings&)> applyControls;
    std::function<void(ErrorCode)> showError;
    FileDone fileDone = {};
};

// Applies the controls, runs the batch for settings.outputType and shows
// its message. False when the batch was abandoned before its first file.
bool StartBatch(std::span<const platform::Path> inputs, BatchHost& host, BatchReport* report = nullptr);

}  // namespace vrelk
