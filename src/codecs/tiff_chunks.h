// Compressed strips and tiles into the picture's rows: in order, and in
// ranges on the picture's lent cores, each range through a libtiff handle
// of its own.
#pragma once

#include <tiffio.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "codecs/tiff_file.h"
#include "codecs/tiff_rows.h"

namespace vrelk {

// Strips of whole rows, or bands of tiles, decoded a range at a time on
// the picture's lent cores, each range through a handle of its own over
// the same bytes.
struct TiffRanges {
    std::span<const std::uint8_t> file;
    std::uint32_t strips = 0;  // or bands of tiles or of separate planes' strips
    std::uint32_t rowsPerStrip = 0;
    std::size_t rowBytes = 0;
    std::size_t chunkBytes = 0;
    std::size_t bandBytes = 0;  // 0 for strips of whole interleaved rows
    std::size_t inkBytes = 0;
    std::size_t most = 1;  // as many as the memory claimed for them allows
    Picture* image = nullptr;
    TiffRowRoutine routine = nullptr;
    TiffRowShape shape;
    const SrgbTransform* inkProfile = nullptr;
};

// Strips of interleaved rows, one after the other, cut into rows.
Status ReadEncodedStrips(TIFF* tiff, std::span<std::uint8_t> chunk, TiffRowAssembler& rows, const TiffRowSink& sink);

// Tiles, or strips of separate planes: each band of rows is put together
// as interleaved samples in `band`, then handed on row by row.
Status ReadTiffBands(TIFF* tiff, const TiffFields& f, std::size_t rowBytes, std::span<std::uint8_t> chunk,
                     std::span<std::uint8_t> band, TiffRowSink& sink);

// How many ranges the strips or bands may be read in (1: in order only),
// each range holding `rangeBytes` of its own.
std::size_t TiffRangesAllowed(TIFF* tiff, const TiffFields& f, bool banded, std::uint64_t rowBytes,
                              std::uint64_t rangeBytes, std::uint64_t pictureBytes);

// false when there was no core to split over, or a range fell short; the
// picture is then as allocated, for the reading in order.
bool ReadTiffInRanges(const TiffRanges& job);

}  // namespace vrelk
