// Feeds arbitrary bytes to the GIF reader as if they were a mapped file.
#include <cstddef>
#include <cstdint>
#include <span>

#include "codecs/byte_cursor.h"
#include "codecs/gif.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Screens of many megapixels only cost time; the limits themselves are
    // covered by the tests.
    if (size >= 10 && std::uint64_t{vrelk::LoadU16LE(data + 6)} * vrelk::LoadU16LE(data + 8) > (1u << 22))
        return 0;
    vrelk::Result<vrelk::Picture> image = vrelk::ReadGif(vrelk::ByteCursor(std::span(data, size)));
    (void)image;
    return 0;
}
