// What a batch is asked to do: the plain options record the shells fill
// from their settings.
#pragma once

#include <cstdint>
#include <optional>

#include "codecs/metadata.h"
#include "codecs/quality.h"
#include "pixel/resize.h"
#include "platform/platform.h"
#include "platform/picture_cores.h"
#include "platform/worker_slots.h"

namespace vrelk {

// The output type of a run: 0 BMP, 1 PNG, 2 JPEG, 4 GIF, 5 JPEG re-encode,
// 6 WebP, 7 AVIF; any other value acts as BMP.
enum OutputType : std::int32_t {
    kOutputBmp = 0,
    kOutputPng = 1,
    kOutputJpeg = 2,
    kOutputGif = 4,
    kOutputRecode = 5,
    kOutputWebp = 6,
    kOutputAvif = 7,
};

// What a batch takes when its shell says nothing else: the settings'
// defaults too.
inline constexpr std::int32_t kDefaultLimitKilobytes = 100;
inline constexpr std::int32_t kDefaultResizeSize = 100;

struct ConvertOptions {
    std::int32_t outputType = kOutputBmp;
    std::int32_t quality = kDefaultQuality;  // JPEG, WebP and AVIF
    std::int32_t sampling = 0;   // JPEG chroma: 0 is 2x2, 1 is 2x1, 2 is 1x1
    bool limitSize = false;      // aim JPEG, WebP and AVIF output at limitKilobytes
    std::int32_t limitKilobytes = kDefaultLimitKilobytes;
    bool resize = false;
    std::int32_t resizeMode = kReduceLongerSide;
    std::int32_t resizeSize = kDefaultResizeSize;
    std::int32_t boxHeight = 0;  // with kReduceToFit: resizeSize is the box's width
    platform::Path outputFolder;  // empty: the folder of the first input
    bool makeSubFolder = false;
    platform::NativeString subFolderName;
    bool usePlugins = false;
    platform::Path pluginFolder;
    bool keepAlpha = false;  // transparency into PNG, WebP and GIF
    KeepMetadata keepMetadata = KeepMetadata::none;  // Exif and XMP into JPEG, PNG and WebP
    bool keepTime = false;  // each output gets its input's modification time
    // Set by the batch: the threads the run may keep busy. Without it the
    // size search guesses its next trial whenever it likes.
    platform::WorkerSlots* workers = nullptr;
    // Set by the batch when it starts with fewer files than jobs: a file's
    // output may then be made in parts on the cores left over.
    bool splitOutput = false;
};

}  // namespace vrelk
