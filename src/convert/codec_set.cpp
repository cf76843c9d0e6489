#include "convert/codec_set.h"


namespace vrelk {

std::unique_ptr<CodecSet> AllocateCodecSet()
{
    std::unique_ptr<CodecSet> codecs = tryAllocate<CodecSet>();
    if (!codecs)
        return nullptr;
    codecs->tables = tryAllocate<LookupTables>();
    if (!codecs->tables)
        return nullptr;
    buildLookupTables(*codecs->tables);
    return codecs;
}

}  // namespace vrelk
