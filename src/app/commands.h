// Command ids shared by the windows and the command-line front end: the
// format buttons (with their formats in convert/format_table.h) and the
// window's other two.
#pragma once

#include "convert/format_table.h"

namespace vrelk {

enum Command : int {
    kCommandResizeCheck = 1005,
    kCommandSettings = 1006,
};

}  // namespace vrelk
