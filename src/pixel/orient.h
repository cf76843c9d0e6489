// Turns a decoded picture upright: the eight flips and quarter turns that
// Exif orientations name. Rows are placed as they are decoded, so the
// picture is turned without a second full-size buffer.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vrelk {

// True for the orientations that swap width and height.
constexpr bool orientationTransposes(std::uint16_t orientation) { return orientation >= 5 && orientation <= 8; }

// The orientation that undoes `orientation`: each is its own inverse but
// the two quarter turns.
constexpr std::uint16_t inverseOrientation(std::uint16_t orientation)
{
    return orientation == 6 ? 8 : orientation == 8 ? 6 : orientation;
}

// The orientation that shows `first` and then `then` applied to what
// `first` showed.
std::uint16_t composeOrientations(std::uint16_t first, std::uint16_t then);

// Where stored pixel (sx, sy) of a storedWidth x storedHeight picture
// lands, counted from the top left of the upright picture.
std::array<std::int64_t, 2> uprightPosition(std::uint16_t orientation, std::int64_t sx, std::int64_t sy,
                                            std::int64_t storedWidth, std::int64_t storedHeight);

struct UprightPlacement;
using PlaceRows = void (*)(const UprightPlacement& placement, std::span<const std::uint8_t* const> rows,
                           std::int32_t firstRow, std::uint8_t* target);

// Where the pixels of a stored picture go in the upright one (8, 24 or 32 bits
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
