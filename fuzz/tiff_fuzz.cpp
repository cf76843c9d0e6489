// Feeds arbitrary bytes to the TIFF reader as if they were a file read into
// memory, every compression libtiff was built with included.
#include <cstddef>
#include <cstdint>

#include "codecs/byte_cursor.h"
#include "codecs/decode_memory.h"
#include "codecs/tiff.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static vrelk::LookupTables tables;
    static bool built = false;
    if (!built) {
        vrelk::buildLookupTables(tables);
        built = true;
    }
    // Pictures of many megapixels only cost time; the limits themselves are
    // covered by the tests.
    vrelk::ReadLimits limits;
    limits.maxDimension = 2048;
    [[maybe_unused]] vrelk::Result<vrelk::Picture> image = vrelk::ReadTiff(vrelk::ByteCursor({data, size}), tables, limits);
    return 0;
}
