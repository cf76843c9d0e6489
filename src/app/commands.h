// Command ids shared by the windows and the command-line front end, and the
// one mapping from a format choice to an output type.
#pragma once

#include <cstdint>
#include <optional>

namespace vrelk {

enum Command : int {
    kCommandBmp = 1000,
    kCommandPng = 1001,
    kCommandJpeg = 1002,
    kCommandGif = 1003,
    kCommandRecode = 1004,
    kCommandResizeCheck = 1005,
    kCommandSettings = 1006,
    kCommandWebp = 1007,
};

// DrctCvt 1..6 fix the output; 0 (or anything else) leaves it to the user.
std::optional<std::int32_t> outputTypeForDirectChoice(std::int32_t drctCvt);
// The format buttons 1000..1004 and 1007.
std::optional<std::int32_t> outputTypeForCommand(int command);

}  // namespace vrelk
