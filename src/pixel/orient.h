// Turns a decoded picture upright: the eight flips and quarter turns that
// Exif orientations name. Rows are placed as they are decoded, so the
// picture is turned without a second full-size buffer.
#pragma once

#include <cstdint>
#include <span>

namespace vrelk {

// True for the orientations that swap width and height.
constexpr bool orientationTransposes(std::uint16_t orientation) { return orientation >= 5 && orientation <= 8; }

struct UprightPlacement;
using PlaceRows = void (*)(const UprightPlacement& placement, std::span<const std::uint8_t* const> rows,
                           std::int32_t firstRow, std::uint8_t* target);

// Where the pixels of a stored picture go in the upright one (8 or 24 bits
// per pixel, bottom-up rows in the standard layout): stored pixel (sx, sy),
// counted from the top left, lands at byte origin + sx * stepX + sy * stepY.
struct UprightPlacement {
    std::int32_t storedWidth = 0;
    std::int32_t uprightWidth = 0;
    std::int32_t uprightHeight = 0;
    std::int64_t origin = 0;
    std::int64_t stepX = 0;
    std::int64_t stepY = 0;
    PlaceRows place = nullptr;
};

// For orientations 1..8 (anything else counts as 1).
UprightPlacement uprightPlacement(std::int32_t storedWidth, std::int32_t storedHeight, int bits,
                                  std::uint16_t orientation);

// Places stored rows firstRow, firstRow + 1, ... (one pointer each, top row
// of the picture first) into the upright picture at `target`. Each row must
// have one readable byte behind its last pixel.
inline void placeStoredRows(const UprightPlacement& placement, std::span<const std::uint8_t* const> rows,
                            std::int32_t firstRow, std::uint8_t* target)
{
    placement.place(placement, rows, firstRow, target);
}

}  // namespace vrelk
