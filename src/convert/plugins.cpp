#include "convert/format.h"

namespace vrelk {

// No plug-in host yet: every file offered to the plug-ins is refused, and
// only when plug-ins are on and their folder exists is one even looked for.
Result<DibImage> ReadWithPlugin(const platform::Path&, const ConvertOptions& options)
{
    if (!options.usePlugins || options.pluginFolder.empty() || !platform::folderExists(options.pluginFolder))
        return CodecError::unsupported;
    return CodecError::unsupported;
}

}  // namespace vrelk
