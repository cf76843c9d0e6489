#include "convert/scratch_buffers.h"


namespace vrelk {

std::unique_ptr<ScratchBuffers> AllocateScratchBuffers(std::size_t keptPages)
{
    std::unique_ptr<ScratchBuffers> scratch = tryAllocate<ScratchBuffers>();
    if (!scratch)
        return nullptr;
    scratch->pages = tryAllocate<PagePool>(keptPages);
    if (!scratch->pages)
        return nullptr;
    scratch->tables = tryAllocate<LookupTables>();
    if (!scratch->tables)
        return nullptr;
    buildLookupTables(*scratch->tables);
    return scratch;
}

}  // namespace vrelk
