// The shape every reader and writer shares: the failure vocabulary of
// pixel/status.h, its words for a person, and a fresh image to decode into.
#pragma once

#include <cstdint>
#include <string_view>

#include "pixel/image.h"
#include "pixel/status.h"

namespace vrelk {

// A few words for a person: "unrecognised format", "damaged file", ...
std::string_view describe(CodecError error);

// A zero-filled image of width x height at `bits` per pixel in the standard
// row layout. Sizes outside 1..kMaxDimension are unsupported.
Result<DibImage> allocateImage(std::int32_t width, std::int32_t height, int bits, FormatCode source);

// The image's pixels as 24-bit rows: its own when they already are, else
// `converted` filled through the palette.
Result<const std::uint8_t*> Pixels24(const ImageView& image, PageBuffer& converted);

}  // namespace vrelk
