// HEIF pictures through libheif: HEIC from phones (HEVC) and AVIF from the
// web (AV1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codecs/byte_cursor.h"
#include "codecs/codec.h"
#include "picture/picture.h"
#include "pixel/lookup_tables.h"

namespace vrelk {

// The bytes IsHeifSignature looks at: the file type box's size, its name
// and the main brand.
inline constexpr std::size_t kHeifSignatureBytes = 12;

// True when a file begins with a file type box whose main brand names a
// HEIF still picture or image sequence (HEVC or AV1 coded).
bool IsHeifSignature(std::span<const std::uint8_t> first);

// Decodes the primary item (pitm) as a viewer shows it: the grid
// assembled, then its crop, turns and mirrorings applied in the order the
// file associates them (an Exif orientation inside is not applied again). Monochrome pictures give 8 bits with a grey palette, the
// others 24 bits; deeper samples are brought to 8 bits and alpha is
// composited over white, or with `keepAlpha` kept in a bgra32 picture.
// Sizes beyond the cap are unsupported; a file libheif refuses is bad data.
Result<Picture> ReadHeif(ByteCursor in, const LookupTables& tables, const ReadLimits& limits = {},
                         bool keepAlpha = false);

}  // namespace vrelk
