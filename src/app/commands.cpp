#include "app/commands.h"

#include <array>

#include "convert/options.h"

namespace vrelk {
namespace {

// In the order of DrctCvt 1..6.
constexpr std::array<std::int32_t, 6> kOutputTypes{kOutputBmp, kOutputPng, kOutputJpeg, kOutputGif,
                                                   kOutputRecode, kOutputWebp};

struct FormatCommand {
    int command;
    std::int32_t outputType;
};
constexpr std::array<FormatCommand, 6> kFormatCommands{{
    {kCommandBmp, kOutputBmp},
    {kCommandPng, kOutputPng},
    {kCommandJpeg, kOutputJpeg},
    {kCommandGif, kOutputGif},
    {kCommandRecode, kOutputRecode},
    {kCommandWebp, kOutputWebp},
}};

}  // namespace

std::optional<std::int32_t> outputTypeForDirectChoice(std::int32_t drctCvt)
{
    const std::int64_t index = std::int64_t{drctCvt} - 1;
    if (index < 0 || index >= static_cast<std::int64_t>(kOutputTypes.size()))
        return std::nullopt;
    return kOutputTypes[static_cast<std::size_t>(index)];
}

std::optional<std::int32_t> outputTypeForCommand(int command)
{
    for (const FormatCommand& entry : kFormatCommands)
        if (entry.command == command)
            return entry.outputType;
    return std::nullopt;
}

}  // namespace vrelk
