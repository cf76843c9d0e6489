// Feeds arbitrary bytes to the WebP reader as if they were a mapped file.
#include <cstddef>
#include <cstdint>

#include <webp/decode.h>

#include "codecs/decode_memory.h"
#include "codecs/webp.h"
#include "platform/memory_budget.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Pictures of many megapixels only cost time; the limits themselves are
    // covered by the tests.
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(data, size, &features) == VP8_STATUS_OK &&
        std::int64_t{features.width} * features.height > (1 << 22))
        return 0;
    static vrelk::LookupTables tables;
    static bool built = false;
    if (!built) {
        vrelk::buildLookupTables(tables);
        built = true;
    }
    // The budget a run gives each file: what the reader claims is what it may hold.
    static vrelk::platform::MemoryBudget budget(std::uint64_t{1} << 30);
    vrelk::DecodeMemory memory(budget);
    (void)vrelk::ReadWebp(vrelk::ByteCursor({data, size}), tables, vrelk::ReadLimits{vrelk::kMaxDimension, &memory});
    return 0;
}
