// Feeds arbitrary bytes to the TIFF reader as if they were a mapped file.
#include <cstddef>
#include <cstdint>

#include "codecs/byte_cursor.h"
#include "codecs/tiff.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    [[maybe_unused]] vrelk::Result<vrelk::Picture> image = vrelk::ReadTiff(vrelk::ByteCursor({data, size}));
    return 0;
}
