// How the shells start a batch: the settings become the engine's options,
// and the batch's outcome becomes one of the five messages.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <span>

#include "app/messages.h"
#include "app/settings.h"
#include "convert/batch.h"

namespace vrelk {

ConvertOptions optionsFromSettings(const Settings& settings);
std::size_t convertedCount(const BatchReport& report);

// A size setting that the batch would use, holding a value its key does not
// allow: the target of a size-limited output, or the reduction size. Taken
// on as it stands, it would be clamped to some other size or fail every file.
struct BadSetting {
    const NumberKey* key = nullptr;
    std::int32_t value = 0;
    bool boundedAbove = true;  // else any size from the key's low bound on
};
std::optional<BadSetting> badSizeSetting(const Settings& settings);
// Its message, in the language of the messages.
std::string badSettingMessage(const BadSetting& bad);

// What the batch needs from the shell that starts it.
struct BatchHost {
    Settings& settings;
    // Copies the settings window's controls into the settings.
    std::function<void(Settings&)> applyControls;
    std::function<void(ErrorCode)> showError;
    FileDone fileDone = {};
    // Runs the batch in place of RunBatch: the Windows program runs it off
    // its window thread, with progress and a way to stop it.
    std::function<BatchReport(std::span<const platform::Path>, const ConvertOptions&)> run = {};
    // Says how many files a stopped batch converted.
    std::function<void(std::size_t converted)> showCancelled = {};
    // Names the size setting that keeps the batch from starting.
    std::function<void(const BadSetting&)> showBadSetting = {};
};

// Applies the controls, runs the batch for settings.outputType and shows
// its message; a stopped batch says what it converted instead. False when
// the batch was abandoned before its first file, a bad size setting
// included.
bool StartBatch(std::span<const platform::Path> inputs, BatchHost& host, BatchReport* report = nullptr);

}  // namespace vrelk
