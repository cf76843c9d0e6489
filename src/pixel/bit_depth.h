// Whole-image conversion between bit depths, and conversion to grey.
#pragma once

#include <cstdint>

#include "pixel/pixel_converter.h"
#include "picture/status.h"

namespace vrelk {

// Converts converter.sourceBits to converter.targetBits for an image of
// converter.width x converter.height. The caller has run computeLayout and
// provides a zero-filled target of at least imageSize bytes; the source
// uses the standard layout of its depth. targetPalette may be null for 24
// and 48-bit targets and may be the source palette. 8 and 24-bit images
// reach 1, 2, 4 (and from 24 bits 8) bits by colour reduction. Pairs
// without a conversion fail as unsupported without touching the target;
// a reduction without memory fails as noMemory.
Status convertPixels(RgbQuad* targetPalette, std::uint8_t* targetPixels, PixelConverter& converter,
                     const RgbQuad* sourcePalette, const std::uint8_t* sourcePixels);

// One grey byte per pixel, rows of exactly width bytes; needs targetBits 8
// and sourceBits 8 (with the palette) or 24.
Status convertToGrey(PixelConverter& converter, const RgbQuad* sourcePalette, const std::uint8_t* sourcePixels,
                     std::uint8_t* targetPixels);

}  // namespace vrelk
