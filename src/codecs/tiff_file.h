// The file side of the TIFF reader: libtiff reading a file already in
// memory, the header every TIFF begins with, and the resolution as the
// file states it.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <span>

#include "picture/picture.h"
#include "picture/status.h"

namespace vrelk {

// The bytes libtiff reads through, and where it is reading.
struct MemoryTiff {
    std::span<const std::uint8_t> bytes;
    std::uint64_t position = 0;
};

// libtiff over the bytes, read-only, its strips and tiles taken from them
// in place; null when libtiff refuses the file.
TIFF* OpenMemoryTiff(MemoryTiff& file, TIFFOpenOptions* options);

// truncated under eight bytes; notThisFormat without a byte-order mark of
// II or MM followed by 42.
Status CheckTiffHeader(std::span<const std::uint8_t> file);
bool IsBigEndianTiff(std::span<const std::uint8_t> file);

// StripOffsets and StripByteCounts as the first directory states them,
// before libtiff's repairs: the uncompressed strips are read as they have
// always been, one after another in strip order, each where its entry
// says. damaged unless both are SHORT or LONG arrays of one length inside
// the file.
class StatedStrips {
public:
    static Result<StatedStrips> of(std::span<const std::uint8_t> file);
    std::uint32_t count() const { return count_; }
    std::uint32_t offset(std::uint32_t strip) const { return valueAt(offsets_, offsetType_, strip); }
    std::uint32_t byteCount(std::uint32_t strip) const { return valueAt(counts_, countType_, strip); }

private:
    std::uint32_t valueAt(std::span<const std::uint8_t> values, std::uint16_t type, std::uint32_t index) const;

    std::span<const std::uint8_t> offsets_;
    std::span<const std::uint8_t> counts_;
    std::uint16_t offsetType_ = 0;
    std::uint16_t countType_ = 0;
    std::uint32_t count_ = 0;
    bool bigEndian_ = false;
};

// XResolution and YResolution of the first directory as numerator and
// denominator, in its ResolutionUnit: libtiff gives them as floats, which
// would round values this program converts exactly. None unless both are
// present with denominators other than 0.
Resolution StatedResolution(std::span<const std::uint8_t> file);

}  // namespace vrelk
