// The shape every reader and writer shares: the failure vocabulary of
// picture/status.h and its words for a person.
#pragma once

#include <cstdint>
#include <string_view>

#include "codecs/decode_memory.h"
#include "picture/picture.h"
#include "picture/status.h"

namespace vrelk {

// A few words for a person: "unrecognised format", "damaged file", ...
std::string_view describe(CodecError error);

// The image's pixels as 24-bit rows: its own when they already are, else
// `converted` filled through the palette.
Result<const std::uint8_t*> Pixels24(const ImageView& image, PageBuffer& converted);

}  // namespace vrelk
