#include "app/commands.h"

#include <array>

#include "convert/options.h"

namespace vrelk {
namespace {

// In the order of DrctCvt 1..5 and of the buttons 1000..1004.
constexpr std::array<std::int32_t, 5> kOutputTypes{kOutputBmp, kOutputPng, kOutputJpeg, kOutputGif,
                                                   kOutputRecode};

std::optional<std::int32_t> outputTypeAt(std::int64_t index)
{
    if (index < 0 || index >= static_cast<std::int64_t>(kOutputTypes.size()))
        return std::nullopt;
    return kOutputTypes[static_cast<std::size_t>(index)];
}

}  // namespace

std::optional<std::int32_t> outputTypeForDirectChoice(std::int32_t drctCvt) { return outputTypeAt(std::int64_t{drctCvt} - 1); }

std::optional<std::int32_t> outputTypeForCommand(int command) { return outputTypeAt(std::int64_t{command} - kCommandBmp); }

}  // namespace vrelk
