// What an import filter hands back, and how it becomes a decoded image.
// The filters run in a host process of their own; this is the converting
// process's check of their answer, with no platform code in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codecs/codec.h"
#include "picture/picture.h"

namespace vrelk {

// The image in a filter's information block (a BITMAPINFOHEADER and its
// colour table) and pixel block. Only bottom-up, uncompressed pictures of
// 1, 4, 8 or 24 bits are taken; a short pixel block fills what it can and
// the rest stays zero.
Result<Picture> ImageFromPluginBlocks(std::span<const std::uint8_t> info, std::span<const std::uint8_t> bits);

// How many leading bytes of each block ImageFromPluginBlocks reads: the
// host copies no more than these across, and the image stays the same.
std::size_t PluginInfoBytesUsed(std::span<const std::uint8_t> info);
std::size_t PluginPixelBytesUsed(std::span<const std::uint8_t> info, std::size_t bitsSize);

}  // namespace vrelk
