// Feeds arbitrary bytes to the WebP reader as if they were a mapped file.
#include <cstddef>
#include <cstdint>

#include <webp/decode.h>

#include "codecs/webp.h"

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
    (void)vrelk::ReadWebp(vrelk::ByteCursor({data, size}), tables);
    return 0;
}
