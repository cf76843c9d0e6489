// The one Exif field the program acts on: the orientation a camera records
// when it stores a picture sideways.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vrelk {

// Exif orientations 1..8: 1 is upright; the others name the flip or turn
// that shows the stored picture upright.
using ExifOrientation = std::uint16_t;
inline constexpr ExifOrientation kUpright = 1;

// True for an APP1 payload that starts with the Exif identifier (XMP and
// other blocks share the marker).
bool isExifSegment(std::span<const std::uint8_t> app1);

// The orientation in an APP1 payload ("Exif\0\0" and a TIFF structure), in
// either byte order. Anything absent, damaged or out of range is upright.
ExifOrientation orientationFromExif(std::span<const std::uint8_t> app1);

// A minimal APP1 payload holding only the orientation.
std::array<std::uint8_t, 32> exifWithOrientation(ExifOrientation orientation);

}  // namespace vrelk
