// The work records of one batch, created when the batch starts and reused
// for each of its files. Readers and writers themselves are made afresh
// for every file.
#pragma once

#include <memory>

#include "pixel/image.h"
#include "pixel/lookup_tables.h"
#include "pixel/resize.h"

namespace vrelk {

struct CodecSet {
    std::unique_ptr<LookupTables> tables;
    PixelConverter converter24;
    ResizeJob resizeJob;
    FilterJob filterJob;
};

// Null when memory runs out.
std::unique_ptr<CodecSet> AllocateCodecSet();

}  // namespace vrelk
