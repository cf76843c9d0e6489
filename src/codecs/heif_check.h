// What a HEIF file's items must be before libheif decodes any of them, and
// the memory its decoders then take.
#pragma once

#include <cstdint>
#include <span>

#include "codecs/codec.h"

namespace vrelk {

// Checks every coded item's stream against its ispe, every grid against
// its tiles and the primary item's alpha plane against it; the primary
// item must be coded or a grid. Returns the bytes the largest decode of a
// coded item takes: the decoder at work and libheif's copy of its picture.
// Damaged or truncated for a file whose streams or items contradict each
// other or end early, unsupported for a kind of item or picture this
// program does not decode.
Result<std::uint64_t> CheckHeifItems(std::span<const std::uint8_t> file, std::uint32_t primary);

}  // namespace vrelk
