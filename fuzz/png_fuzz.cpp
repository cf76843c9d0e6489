// Feeds arbitrary bytes to the PNG reader as if they were a mapped file.
#include <cstddef>
#include <cstdint>

#include "codecs/png.h"

namespace {

std::uint32_t bigEndian32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Pictures of many megapixels only cost time; the limits themselves are
    // covered by the tests.
    if (size >= 24 && std::uint64_t{bigEndian32(data + 16)} * bigEndian32(data + 20) > (1u << 22))
        return 0;
    static vrelk::LookupTables tables;
    static bool built = false;
    if (!built) {
        vrelk::buildLookupTables(tables);
        built = true;
    }
    vrelk::PngReadOptions options;
    options.tables = &tables;
    options.useGivenBackground = true;
    options.displayGamma = 2200;
    (void)vrelk::ReadPng(vrelk::ByteCursor({data, size}), options);
    return 0;
}
