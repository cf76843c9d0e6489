// The one table of vrelk's options: what getopt_long is given, what --help
// says and what the bash completion offers all come from it.
#pragma once

#include <getopt.h>

#include <span>
#include <string>
#include <string_view>

#include "app/cli_posix.h"

namespace vrelk {

// A handler returns the problem with its value, or an empty string.
using OptionHandler = std::string (*)(RunOptions& options, std::string_view value);

// What the completion offers after an option that takes a value.
enum class ValueKind { none, words, file, folder };

struct OptionEntry {
    option longOption;          // val is the short letter when there is one
    std::string_view argument;  // as --help shows it after the name: " N", "=json"
    std::string_view help;      // lines of --help, '\n' between them
    ValueKind valueKind;
    std::string (*words)();     // for ValueKind::words
    OptionHandler handler;      // null for --help, --version and the completion
};

// Without the terminating entry getopt_long needs.
std::span<const OptionEntry> OptionTable();

}  // namespace vrelk
