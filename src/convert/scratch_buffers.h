// The scratch buffers and tables of one batch worker, created when the
// batch starts and reused for each of its files. They hold no codecs:
// readers and writers are made afresh for every file.
#pragma once

#include <cstddef>
#include <memory>

#include "picture/page_pool.h"
#include "pixel/pixel_converter.h"
#include "pixel/lookup_tables.h"
#include "pixel/resize.h"

namespace vrelk {

struct ScratchBuffers {
    std::unique_ptr<PagePool> pages;  // the worker's pixel memory between files
    std::unique_ptr<LookupTables> tables;
    PixelConverter converter24;
    ResizeJob resizeJob;
    FilterJob filterJob;
};

// Null when memory runs out. The page pool keeps at most `keptPages`
// bytes between files.
std::unique_ptr<ScratchBuffers> AllocateScratchBuffers(std::size_t keptPages = 0);

}  // namespace vrelk
