// Transparency kept with the picture: bgra32 pictures made from what the
// readers decode, and brought back to 24 bits over white where it cannot
// go along.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "picture/picture.h"
#include "picture/status.h"
#include "pixel/lookup_tables.h"

namespace vrelk {

using IndexAlpha = std::array<std::uint8_t, 256>;

// Whether any pixel of a bgra32 picture is not fully opaque.
bool hasTransparency(const Picture& image);
// Whether any pixel of an 8-bit indexed picture has an index whose alpha is below 255.
bool usesTransparentIndex(const Picture& indexed, const IndexAlpha& alpha);
// Whether any value of an alpha plane is below 255.
bool planeHasTransparency(std::span<const std::uint8_t> plane);

// Turns a palette8 or grey8 picture into bgra32, each pixel's alpha that
// of its index. unsupported for any other layout.
Status addIndexAlpha(Picture& image, const IndexAlpha& alpha);

// Turns a palette8, grey8 or bgr24 picture into bgra32 with the alpha of a
// plane of width x height bytes, rows in the picture's order.
Status addAlphaPlane(Picture& image, std::span<const std::uint8_t> plane);

// Replaces a bgra32 picture by its 24-bit form over white, blended as the
// readers blend transparency; any other picture is left alone.
Status compositeAlphaOverWhite(Picture& image, const LookupTables& tables);

}  // namespace vrelk
