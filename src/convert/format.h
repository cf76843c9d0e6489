// Format detection, read dispatch and the per-batch choice of writer.
#pragma once

#include <functional>
#include <optional>
#include <string_view>

#include "app/settings.h"
#include "convert/codec_set.h"
#include "pixel/image.h"

namespace vrelk {

FormatCode SniffFormat(const platform::Path& path);

// What a read or write needs besides its codec object.
struct CodecContext {
    CodecSet& codecs;
    const Settings& settings;
    CurrentImage& current;
};

// On success CurrentImage describes the decoded image; on failure its image
// is null and no pixel buffer of the file is left.
bool ReadImage(CodecContext& context, const platform::Path& path);

using ReadEntry = bool (*)(CodecContext& context, const platform::Path& path);
using WriteStep = bool (*)(CodecContext& context, const platform::Path& output);

bool ReadWithPlugin(CodecContext& context, const platform::Path& path);

bool WriteBmpStep(CodecContext& context, const platform::Path& output);
bool WritePngStep(CodecContext& context, const platform::Path& output);
bool WriteJpegStep(CodecContext& context, const platform::Path& output);
bool WriteGifStep(CodecContext& context, const platform::Path& output);

enum class PerFileStep { convert, recode };

struct OutputChoice {
    std::string_view extension;
    PerFileStep step = PerFileStep::convert;
    WriteStep write = nullptr;  // null for the re-encode, which has its own writer
};

// Applies the controls to the settings, then picks the writer, the
// per-file step and the extension for settings.outputType.
OutputChoice SelectOutput(Settings& settings, const std::function<void(Settings&)>& applyControls);

// The output type of a run: 0 BMP, 1 PNG, 2 JPEG, 4 GIF, 5 JPEG re-encode.
enum OutputType : std::int32_t {
    kOutputBmp = 0,
    kOutputPng = 1,
    kOutputJpeg = 2,
    kOutputGif = 4,
    kOutputRecode = 5,
};

// DrctCvt 1..5 fix the output; 0 (or anything else) leaves it to the user.
std::optional<std::int32_t> outputTypeForDirectChoice(std::int32_t drctCvt);
// The format buttons 1000..1004.
std::optional<std::int32_t> outputTypeForCommand(int command);

}  // namespace vrelk
