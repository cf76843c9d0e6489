// Turns a decoded picture upright: the eight flips and quarter turns that
// Exif orientations name.
#pragma once

#include <cstdint>

#include "pixel/image.h"

namespace vrelk {

// True for the orientations that swap width and height.
constexpr bool orientationTransposes(std::uint16_t orientation) { return orientation >= 5 && orientation <= 8; }

// Replaces the pixels of an 8 or 24-bit image with the upright picture for
// an orientation of 2..8 (others leave it alone), through one extra buffer.
// False when that buffer cannot be had; the image is then unchanged.
bool orientImage(DibImage& image, std::uint16_t orientation);

}  // namespace vrelk
