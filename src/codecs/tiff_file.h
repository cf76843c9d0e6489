// The file side of the TIFF reader: libtiff reading a file already in
// memory, quietly and within its allocation cap, what its first directory
// says about the pixels, the header every TIFF begins with, and the
// resolution as the file states it.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <memory>
#include <span>

#include "picture/picture.h"
#include "picture/status.h"
#include "codecs/tiff_rows.h"

namespace vrelk {

// The bytes libtiff reads through, and where it is reading.
struct MemoryTiff {
    std::span<const std::uint8_t> bytes;
    std::uint64_t position = 0;
};

// libtiff over the bytes, read-only, its strips and tiles taken from them
// in place; null when libtiff refuses the file.
TIFF* OpenMemoryTiff(MemoryTiff& file, TIFFOpenOptions* options);

// What libtiff's complaints said, kept off the terminal.
struct LibtiffReport {
    bool overLimit = false;
};

struct TiffCloser {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

// libtiff over the bytes with its complaints kept in `report`, never
// printed, and each of its own allocations capped; null when it refuses
// the file.
TiffHandle OpenTiff(MemoryTiff& file, LibtiffReport& report);

// What the first directory says about the pixels.
struct TiffFields {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint16_t bits = 1;
    std::uint16_t samples = 1;
    std::uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    std::uint16_t planar = PLANARCONFIG_CONTIG;
    std::uint16_t compression = COMPRESSION_NONE;
    std::uint16_t sampleFormat = SAMPLEFORMAT_UINT;
    std::uint16_t inkSet = INKSET_CMYK;
    TiffAlpha alpha = TiffAlpha::none;
    bool tiled = false;
};

// New-style JPEG holds YCbCr, which libjpeg is set here to turn into RGB.
TiffFields ReadTiffFields(TIFF* tiff);

// A strip or tile: its width in pixels and its rows.
struct TiffBands {
    std::uint32_t width = 0;
    std::uint32_t rows = 0;
};
TiffBands TiffBandsOf(TIFF* tiff, const TiffFields& f);

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
