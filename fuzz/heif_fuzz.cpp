// Feeds arbitrary bytes to the HEIF reader as if they were a mapped file.
#include <cstddef>
#include <cstdint>

#include <libheif/heif.h>

#include "codecs/decode_memory.h"
#include "codecs/heif.h"
#include "platform/memory_budget.h"

namespace {

// Pictures that state many megapixels only cost time; the limits themselves
// are covered by the tests. Coded streams larger than what the container
// states still reach the reader, under the budget a run gives it.
bool small(const std::uint8_t* data, std::size_t size)
{
    heif_context* context = heif_context_alloc();
    heif_image_handle* handle = nullptr;
    bool result = false;
    if (heif_context_read_from_memory_without_copy(context, data, size, nullptr).code == heif_error_Ok &&
        heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok)
        result = std::uint64_t(heif_image_handle_get_width(handle)) * std::uint64_t(heif_image_handle_get_height(handle)) <=
                 (1u << 22);
    heif_image_handle_release(handle);
    heif_context_free(context);
    return result;
}

}  // namespace

// libheif 1.15's glue to dav1d keeps dav1d's copy of the coded picture when
// dav1d refuses a damaged stream (a few dozen bytes a file; seed
// dav1d_refused.avif). That leak is the library's, not a finding here.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdav1d.so\n"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (!small(data, size))
        return 0;
    static vrelk::LookupTables tables;
    static bool built = false;
    if (!built) {
        vrelk::buildLookupTables(tables);
        built = true;
    }
    static vrelk::platform::MemoryBudget budget(std::uint64_t{1} << 30);
    vrelk::DecodeMemory memory(budget);
    (void)vrelk::ReadHeif(vrelk::ByteCursor({data, size}), tables, vrelk::ReadLimits{vrelk::kMaxDimension, &memory});
    return 0;
}
