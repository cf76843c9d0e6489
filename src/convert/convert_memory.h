// The memory a file's conversion takes after its read. Each step claims it
// from the file's reservation before it allocates, so that a picture small
// enough to read but too large to write fails as out of memory instead of
// taking more than the budget.
#pragma once

#include <cstdint>

#include "convert/options.h"
#include "picture/picture.h"

namespace vrelk {

// The picture and its conversion to sRGB, when its profile asks for one.
std::uint64_t settlingNeed(const Picture& image);

// The picture, its 24-bit form and the reduced picture with its filtered
// copy; a bgra32 picture has no 24-bit form, and its copies are 32-bit.
std::uint64_t reductionNeed(const Picture& image, const ConvertOptions& options);

// The picture and the writer's working copies: its 24-bit form, palette
// indices, encoder state and the whole output where the writer holds it.
std::uint64_t writingNeed(const Picture& image, std::int32_t outputType, bool toSizeTarget);

}  // namespace vrelk
