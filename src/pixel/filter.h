// Sharpening after a size reduction: a thresholded unsharp mask over a
// 5 x 5 box blur, so that flat areas and weak texture stay untouched.
#pragma once

#include <cstdint>

#include "picture/picture.h"
#include "pixel/lookup_tables.h"
#include "picture/status.h"

namespace vrelk {

struct FilterJob {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t stride = 0;
    const std::uint8_t* source = nullptr;
    std::uint8_t* output = nullptr;  // first the blur, finally the result
    std::uint8_t* detail = nullptr;  // source - blur as signed bytes
    const std::uint8_t* div25 = nullptr;
    const std::int16_t* scaledDiff = nullptr;  // row 0 of scaledDiffTable
    const std::uint8_t* clampBase = nullptr;
};

// Images narrower or lower than this are left as they are.
inline constexpr std::int32_t kFilterMinSize = 5;
// A pixel is sharpened when the sum of its three absolute details exceeds this.
inline constexpr int kSharpenThreshold = 20;
// Eighths of the detail added back.
inline constexpr int kSharpenEighths = 3;

// Sharpens the 24-bit image (imageSize = stride x height bytes),
// replacing its pixels. noMemory when the buffers cannot be had,
// unsupported when the image does not match its description.
Status filterReducedImage(FilterJob& job, Picture& image, const LookupTables& tables,
                          std::int64_t imageSize);

// The three steps, on a filled job with width and height of at least 5.
// The blur fails only when its row of column sums cannot be had: noMemory.
Status blurImage(const FilterJob& job);
void computeDetail(const FilterJob& job);
void sharpenImage(const FilterJob& job);

}  // namespace vrelk
