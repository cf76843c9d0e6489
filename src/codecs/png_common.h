// Pieces the PNG reader and writer share: the chunk CRC, row geometry, the
// Paeth predictor, the Adam7 pass layout and zlib's allocation callbacks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vrelk {

// The critical chunks that both the reader and the writer name.
using ChunkType = std::array<std::uint8_t, 4>;

constexpr ChunkType kIHDR{'I', 'H', 'D', 'R'};
constexpr ChunkType kPLTE{'P', 'L', 'T', 'E'};
constexpr ChunkType kIDAT{'I', 'D', 'A', 'T'};
constexpr ChunkType kIEND{'I', 'E', 'N', 'D'};
constexpr ChunkType kiCCP{'i', 'C', 'C', 'P'};
constexpr ChunkType keXIf{'e', 'X', 'I', 'f'};
constexpr ChunkType kpHYs{'p', 'H', 'Y', 's'};
constexpr ChunkType kiTXt{'i', 'T', 'X', 't'};

inline constexpr std::array<std::uint8_t, 8> kPngSignature{137, 80, 78, 71, 13, 10, 26, 10};

// The XMP packet an iTXt chunk holds uncompressed under the XMP keyword;
// empty for any other text.
std::span<const std::uint8_t> XmpFromItxt(std::span<const std::uint8_t> data);
// The iTXt chunk data that carries an XMP packet, uncompressed as XMP
// readers expect it.
std::vector<std::uint8_t> ItxtForXmp(std::span<const std::uint8_t> xmp);

using CrcTable = std::array<std::uint32_t, 256>;

// The reflected CRC-32 table of polynomial 0xEDB88320.
void BuildCrcTable(CrcTable& table);

// Folds bytes into a running CRC register (start with 0xFFFFFFFF).
std::uint32_t UpdateCrc(const CrcTable& table, std::uint32_t crc, std::span<const std::uint8_t> bytes);

// The CRC of a chunk: its four type bytes followed by its data.
std::uint32_t ChunkCrc(const CrcTable& table, std::span<const std::uint8_t, 4> type,
                       std::span<const std::uint8_t> data);

// Bytes of one filtered row, filter byte included.
std::int64_t PngRowSize(std::int64_t width, int bitDepth, int bytesPerPixel);

// Written without branches: on photographs the three-way choice is close
// to random and mispredictions would dominate.
inline std::uint8_t PaethPredictor(int a, int b, int c)
{
    int pa = b - c;
    int pb = a - c;
    int pc = pa + pb;
    pa = pa < 0 ? -pa : pa;
    pb = pb < 0 ? -pb : pb;
    pc = pc < 0 ? -pc : pc;
    int bc = pb <= pc ? b : c;
    return static_cast<std::uint8_t>(pa <= pb && pa <= pc ? a : bc);
}

struct Adam7Pass {
    int xStart, yStart, xStep, yStep;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t rowSize = 0;  // 0 when the pass holds no pixels
};

std::array<Adam7Pass, 7> Adam7PassSizes(std::int64_t width, std::int64_t height, int bitDepth, int bytesPerPixel);

// zlib allocation callbacks: zero-filled blocks.
void* PngZlibAlloc(void* opaque, unsigned items, unsigned size);
void PngZlibFree(void* opaque, void* block);

}  // namespace vrelk
