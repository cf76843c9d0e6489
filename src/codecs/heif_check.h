// What a HEIF file's items must be before libheif decodes any of them, and
// the memory its decoders then take.
#pragma once

#include <cstdint>
#include <span>

#include "codecs/codec.h"
#include "codecs/heif_items.h"

namespace vrelk {

// Checks the streams of the coded items the primary picture is made of
// against their ispe, its grids against their tiles, overlays and
// identities against their pictures, and its alpha plane against it. Returns the bytes the largest decode of a
// coded item takes: the decoder at work and libheif's copy of its picture.
// Damaged or truncated for a file whose streams or items contradict each
// other or end early, unsupported for a kind of item or picture this
// program does not decode.
Result<std::uint64_t> CheckHeifItems(const HeifFile& file);

}  // namespace vrelk
