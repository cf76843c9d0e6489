// Embedded colour profiles as files hold them: JPEG's APP2 ICC_PROFILE
// segments, PNG's iCCP chunk. A damaged profile reads as none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vrelk {

// Profile bytes one APP2 segment carries behind its 14-byte chunk header.
inline constexpr std::size_t kJpegIccChunkBytes = 65519;
// The most that 255 segments hold; no format's profile is read past it.
inline constexpr std::size_t kMaxIccProfileBytes = 255 * kJpegIccChunkBytes;

// A profile of sound outline: at least a header and a tag count, the
// length its header gives, and the profile file signature.
bool IccProfileLooksWhole(std::span<const std::uint8_t> icc);

// Whether an APP2 payload is a chunk of a profile ("ICC_PROFILE\0",
// sequence number, chunk count).
bool IsJpegIccSegment(std::span<const std::uint8_t> payload);

// The profile from the APP2 payloads of a file in file order (others are
// passed over); empty unless every chunk 1..count of one profile is there
// exactly once and the whole looks sound.
std::vector<std::uint8_t> AssembleJpegIccProfile(std::span<const std::span<const std::uint8_t>> payloads);

// The APP2 payloads that carry `icc`, chunk headers included; none when the
// profile is empty or larger than 255 segments hold.
std::vector<std::vector<std::uint8_t>> SplitJpegIccProfile(std::span<const std::uint8_t> icc);

// The profile in an iCCP chunk's data (name, 0, method 0, zlib stream);
// empty when any of it is wrong or the profile is larger than the limit.
std::vector<std::uint8_t> ProfileFromIccpChunk(std::span<const std::uint8_t> data);

// iCCP chunk data for `icc`; empty when it cannot be compressed.
std::vector<std::uint8_t> IccpChunkData(std::span<const std::uint8_t> icc);

}  // namespace vrelk
