// Colour profiles through libjpeg: kept from APP2 segments when reading,
// written as APP2 segments when encoding, copied by the re-encode.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include <jpeglib.h>

namespace vrelk {

// Has libjpeg keep the APP2 segments that jpeg_read_header passes.
void KeepIccSegments(jpeg_decompress_struct& info);

// The profile the kept segments make up; empty when there is none or it is
// damaged.
std::vector<std::uint8_t> SavedIccProfile(const jpeg_decompress_struct& info);

// Writes `icc` as APP2 segments; call after jpeg_start_compress or
// jpeg_write_coefficients, before the picture data.
void WriteIccProfile(jpeg_compress_struct& info, std::span<const std::uint8_t> icc);

// Writes the source's ICC_PROFILE segments as they are, in their order,
// when together they make a sound profile.
void CopyIccSegments(const jpeg_decompress_struct& source, jpeg_compress_struct& target);

}  // namespace vrelk
