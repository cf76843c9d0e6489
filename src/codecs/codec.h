// The shape every reader and writer shares: the failure vocabulary of
// picture/status.h and its words for a person.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "codecs/decode_memory.h"
#include "picture/picture.h"
#include "picture/status.h"

namespace vrelk {

// A few words for a person: "unrecognised format", "damaged file", ...
std::string_view describe(CodecError error);

// The image's pixels as 24-bit rows: its own when they already are, else
// `converted` filled through the palette.
Result<const std::uint8_t*> Pixels24(const ImageView& image, PageBuffer& converted);

// vector::resize that reports exhaustion as false instead of throwing, for
// work that runs inside a C library's callbacks, which no exception may cross.
bool ResizeWithoutThrowing(std::vector<std::uint8_t>& buffer, std::size_t size);

}  // namespace vrelk
