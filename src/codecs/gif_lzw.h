// The LZW dictionary shared by the GIF decoder and encoder.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vrelk::gif {

inline constexpr int kMaxCodes = 4096;
inline constexpr int kMaxCodeWidth = 12;

// One dictionary string: its last byte, the entry of the string without
// that byte, and the length.
struct LzwEntry {
    std::uint16_t prefix = 0;
    std::uint16_t length = 0;
    std::uint8_t last = 0;
};

struct LzwDictionary {
    int minimumSize = 0;
    int clearCode = 0;
    int endCode = 0;
    int firstFree = 0;
    int initialWidth = 0;
    std::array<LzwEntry, kMaxCodes> entries{};
};

// Codes below the clear code stand for themselves as one-byte strings.
inline void initialiseDictionary(LzwDictionary& dictionary, int minimumSize)
{
    dictionary.minimumSize = minimumSize;
    dictionary.clearCode = 1 << minimumSize;
    dictionary.endCode = dictionary.clearCode + 1;
    dictionary.firstFree = dictionary.clearCode + 2;
    dictionary.initialWidth = minimumSize + 1;
    for (int code = 0; code < dictionary.clearCode; ++code) {
        LzwEntry& entry = dictionary.entries[static_cast<std::size_t>(code)];
        entry.last = static_cast<std::uint8_t>(code);
        entry.prefix = 0;
        entry.length = 1;
    }
}

// The encoder's pieces, open to the tests.

// Room enough for the codes of `count` indices: at most 12 bits each, plus
// clear codes, the end code and the final byte.
constexpr std::size_t encodedBound(std::size_t count) { return 2 * count + 16; }

// Packs the codes for `indices` (rows in file order) least significant bit
// first into `out` (at least encodedBound bytes), ending with the end code
// and a final byte; returns the length. `codeSize` is 2..8. 0 when memory
// for the code table runs out.
std::size_t encodeLzw(std::span<const std::uint8_t> indices, int codeSize, std::span<std::uint8_t> out);

// The data as sub-blocks of at most 255 bytes, each behind its length, then
// the zero-length terminator.
constexpr std::size_t subBlocksSize(std::size_t dataSize) { return dataSize + (dataSize + 254) / 255 + 1; }
void packSubBlocks(std::span<const std::uint8_t> data, std::span<std::uint8_t> out);

}  // namespace vrelk::gif
