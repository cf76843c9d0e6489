#include "convert/format.h"

namespace vrelk {

// Susie plug-ins are Windows libraries: the native program keeps the
// settings but never looks for them.
Result<Picture> ReadWithPlugin(const platform::Path&, const ConvertOptions&)
{
    return CodecError::unsupported;
}

}  // namespace vrelk
