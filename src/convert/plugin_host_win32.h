// The Windows program runs the Susie import plug-ins in a host process of
// their own: the same executable, started with one internal argument. One
// executable means one file to install and a host that always speaks the
// converting process's own version of the shared-memory layout.
#pragma once

#include <optional>

namespace vrelk {

// When the command line is the host's internal argument, serves the
// converting process that started this one and returns the exit code;
// nullopt for any other command line.
std::optional<int> RunPluginHostIfAsked();

// Ends the plug-in host of the batch that just finished, if it started one.
void EndPluginHost();

}  // namespace vrelk
