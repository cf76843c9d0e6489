// The sketch a size target aims its first trial by: bands of whole rows
// taken at even steps down a 24-bit picture, laid together as a smaller
// picture of the same width and row layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vrelk {

struct SketchPicture {
    std::vector<std::uint8_t> pixels;  // 24-bit rows, bottom-up
    std::int32_t height = 0;
    double share = 0;  // of the picture's rows
};

// The sketch of the `width` x `height` 24-bit bottom-up `pixels`; false
// when the picture is too small for a sketch to save anything, or memory
// runs out for one.
bool SketchOf(std::int32_t width, std::int32_t height, const std::uint8_t* pixels, SketchPicture& sketch);

}  // namespace vrelk
