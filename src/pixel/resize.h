// Size reduction of the current image: area averaging in fixed point for
// shrinking, linear interpolation for (at most twofold) enlargement.
#pragma once

#include <cstdint>
#include <optional>

#include "picture/checked.h"
#include "pixel/filter.h"
#include "pixel/pixel_converter.h"
#include "pixel/lookup_tables.h"
#include "picture/status.h"

namespace vrelk {

// 24-bit rows padded to multiples of 4 bytes.
struct ResizeJob {
    std::int32_t sourceWidth = 0;
    std::int32_t sourceHeight = 0;
    const std::uint8_t* source = nullptr;
    std::uint8_t* target = nullptr;  // provided by the caller
};

// Which side a reduction constrains: RszOpt 0, 1 or 2. The command line
// adds a box both sides must fit in, and a percentage of both.
enum ReductionMode : std::int32_t {
    kReduceWidth = 0,
    kReduceHeight = 1,
    kReduceLongerSide = 2,
    kReduceToFit = 3,       // size is the box's width, boxHeight its height
    kReduceByPercent = 4,   // size is the percentage, 1..100
};

struct ImageSize {
    std::int32_t width = 0;
    std::int32_t height = 0;
    bool operator==(const ImageSize&) const = default;
};

// The size a width x height image is reduced to for a mode and a size in
// pixels: the same size when it is small enough already, nullopt when the
// request is unusable (a size or box side below 1, a percentage above 100,
// or an image without pixels).
std::optional<ImageSize> reducedSize(std::int32_t width, std::int32_t height, std::int32_t mode,
                                     std::int32_t size, std::int32_t boxHeight = 0);

// What a reduction works with besides the image; all owned by the batch.
struct ReductionTools {
    PixelConverter& converter;
    ResizeJob& resize;
    FilterJob& filter;
    const LookupTables& tables;
};

// Reduces the image for mode and size, leaving it at 24 bits (a bgra32
// picture stays bgra32) and sharpened; an image that is small enough already passes unchanged.
// noMemory when memory runs out, unsupported for a request or an image it
// cannot take.
Status reduceImage(ReductionTools& tools, Picture& image, std::int32_t mode, std::int32_t size,
                   std::int32_t boxHeight = 0);

// Brings the image to 24 bits; on failure it stays as it was.
Status promoteTo24(PixelConverter& converter, Picture& image);

// Resamples job.source into job.target (both 24-bit with padded rows).
// Fails for sizes outside 1..25000, for an enlargement beyond twice the
// length or when nothing would change (unsupported), or when memory runs
// out (noMemory).
Status resizeImage(ResizeJob& job, std::int32_t newWidth, std::int32_t newHeight);

}  // namespace vrelk
