// How codecs reach their files: the mapped input with a bounded read
// cursor, byte-order readers, the output file, and the release sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "pixel/image.h"

namespace vrelk {

// A position inside the mapped input and the end of the input. Readers
// check left() against what they are about to take before they take it.
struct ReadCursor {
    const std::uint8_t* begin = nullptr;
    const std::uint8_t* cursor = nullptr;
    const std::uint8_t* end = nullptr;

    std::size_t left() const { return static_cast<std::size_t>(end - cursor); }
    std::size_t offset() const { return static_cast<std::size_t>(cursor - begin); }
    bool has(std::size_t count) const { return count <= left(); }
    // Both fail, leaving the cursor where it was, when the target lies
    // beyond the end.
    bool seek(std::size_t offset);
    bool skip(std::size_t count);
    // The next `count` bytes, consumed; empty when fewer are left.
    std::span<const std::uint8_t> take(std::size_t count);
};

// These read at the cursor and advance it. A read past the end yields 0
// and leaves the cursor at the end; callers check left() first.
std::uint16_t ReadU16LE(ReadCursor& in);
std::uint16_t ReadU16BE(ReadCursor& in);
std::uint32_t ReadU32LE(ReadCursor& in);
std::uint32_t ReadU32BE(ReadCursor& in);

using ReadU16Fn = std::uint16_t (*)(ReadCursor&);
using ReadU32Fn = std::uint32_t (*)(ReadCursor&);

// A matched pair, chosen once per file by formats that declare their order.
struct ByteOrderReaders {
    ReadU16Fn u16;
    ReadU32Fn u32;
};
inline constexpr ByteOrderReaders kLittleEndianReaders{ReadU16LE, ReadU32LE};
inline constexpr ByteOrderReaders kBigEndianReaders{ReadU16BE, ReadU32BE};

// Big-endian values at a place the caller has already bounds-checked.
constexpr std::uint32_t LoadU32BE(const std::uint8_t* bytes)
{
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 |
           std::uint32_t{bytes[3]};
}

constexpr void StoreU32BE(std::uint8_t* to, std::uint32_t value)
{
    to[0] = static_cast<std::uint8_t>(value >> 24);
    to[1] = static_cast<std::uint8_t>(value >> 16);
    to[2] = static_cast<std::uint8_t>(value >> 8);
    to[3] = static_cast<std::uint8_t>(value);
}

constexpr std::uint16_t Swap16(std::uint16_t value)
{
    return static_cast<std::uint16_t>((value >> 8) | (value << 8));
}

constexpr std::uint32_t Swap32(std::uint32_t value)
{
    return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

// Opens and maps the whole input into codec.inputFile and codec.mapping,
// sets codec.inputFileSize and points the cursor at the start. Returns the
// size, or 0 with errorCode kCodecCannotOpen (empty files cannot be mapped).
std::size_t MapInputFile(const platform::Path& path, CodecObject& codec, ReadCursor& cursor);

// Creates (or truncates) codec.outputFile; errorCode kCodecCannotCreate on
// failure.
bool CreateOutputFile(const platform::Path& path, CodecObject& codec);

// True only when all four bytes were written.
bool WriteU32BE(CodecObject& codec, std::uint32_t value);

// The header of the image a reader delivers; the palette is left alone.
void FillBitmapHeader(CodecObject& codec, std::int32_t width, std::int32_t height, int bitCount,
                      std::int32_t xPelsPerMeter, std::int32_t yPelsPerMeter);

// Ends every read and write: unmaps the input and closes both files.
void ReleaseCodecFiles(CodecObject& codec);

}  // namespace vrelk
