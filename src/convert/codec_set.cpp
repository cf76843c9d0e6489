#include "convert/codec_set.h"

#include <new>

namespace vrelk {

std::unique_ptr<CodecSet> AllocateCodecSet()
{
    std::unique_ptr<CodecSet> codecs(new (std::nothrow) CodecSet);
    if (!codecs)
        return nullptr;
    codecs->tables.reset(new (std::nothrow) LookupTables);
    if (!codecs->tables)
        return nullptr;
    buildLookupTables(*codecs->tables);
    return codecs;
}

}  // namespace vrelk
