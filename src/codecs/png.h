// PNG files: the reader (every standard depth and colour type, Adam7,
// gamma and transparency composited over the background) and the writer
// (palette PNGs at 1, 2, 4 and 8 bits, RGB PNGs from 24-bit images).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>

#include "codecs/byte_cursor.h"
#include "codecs/codec.h"
#include "codecs/files.h"
#include "codecs/png_common.h"
#include "picture/picture.h"
#include "platform/platform.h"
#include "pixel/lookup_tables.h"

namespace vrelk {

// Where the row routines read and write; one routine per format and filter.
struct PngRowState {
    std::uint8_t* currentRow = nullptr;   // filter byte + row bytes
    std::uint8_t* previousRow = nullptr;  // same layout, reconstructed
    std::int64_t rowLength = 0;
    std::uint8_t* output = nullptr;
    std::uint8_t* alphaCursor = nullptr;
    std::int64_t xStep = 1;
    std::int64_t xStepBytes = 3;
    int lastBytePixels = 0;
};
using PngRowRoutine = void (*)(PngRowState& row);

// How the reader composites transparency and applies gamma.
struct PngReadOptions {
    // The blend table; a reader without one builds its own.
    const LookupTables* tables = nullptr;
    bool compositeTransparency = true;
    // A picture with any transparent pixel comes out as bgra32 instead of
    // composited.
    bool keepAlpha = false;
    bool useGivenBackground = false;
    std::uint8_t backgroundRed = 255;
    std::uint8_t backgroundGreen = 255;
    std::uint8_t backgroundBlue = 255;
    std::int32_t displayGamma = 0;  // thousandths; 0 leaves the samples alone
    ReadLimits limits;
};

// Decodes a whole file into 8 bits with a palette or 24 bits. A data stream
// that breaks off still gives the rows decoded so far, with the rest zero;
// `streamCutShort` then tells so.
Result<Picture> ReadPng(ByteCursor in, const PngReadOptions& options, bool* streamCutShort = nullptr);

// Filtered bytes in one piece, about, when the image data is made in pieces: large
// enough that the history each piece starts without costs a few
// hundredths of a percent, small enough that cores finish close together.
inline constexpr std::int64_t kPngPieceBytes = std::int64_t{2} << 20;

// The work record of one PNG write, made afresh for every file.
struct PngWriter {
    PngWriter();
    PngWriter(const PngWriter&) = delete;
    PngWriter& operator=(const PngWriter&) = delete;

    OutputFile* out = nullptr;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int64_t stride = 0;  // of the image's rows
    CrcTable crcTable{};
    std::int32_t bitDepth = 0;
    std::int32_t colourType = 0;
    std::int32_t paletteCount = 0;
    std::int32_t bytesPerPixel = 0;
    // libdeflate's level: the fastest one that measured no larger than zlib
    // at level 9 on photographs, screenshots and palette images.
    std::int32_t compressionLevel = 10;
    std::int64_t pieceBytes = kPngPieceBytes;
    std::int64_t filteredSize = 0;
    PageBuffer filteredData;
    std::int64_t rowSize = 0;
    // Row buffers inside filteredData behind the filtered image.
    std::uint8_t* previousRow = nullptr;
    std::uint8_t* rawRow = nullptr;
    std::uint8_t* subRow = nullptr;
    std::uint8_t* upRow = nullptr;
    std::uint8_t* averageRow = nullptr;
    std::uint8_t* paethRow = nullptr;
};

// Writes an image of 1, 2, 4 or 8 bits as a palette PNG of that depth, of
// 24 bits as an RGB PNG, or of 32 (bgra32) as an RGBA PNG.
Status WritePng(const ImageView& image, const platform::Path& path, std::int64_t pieceBytes = kPngPieceBytes);

// Whether the image data is written in pieces on the picture's cores: only
// when the batch allows it and the image is long enough for two pieces.
bool PngImageDataInPieces(const PngWriter& writer);

// Filters rows [first, end) of the image into the writer's filtered data,
// with `rows` holding the row buffers of the thread that runs it.
using PngRowFilter = std::function<void(PngWriter& rows, std::int64_t first, std::int64_t end)>;

// Compresses the filtered data in pieces of whole rows, each on whichever
// core is free, filtering each piece first when `filterRows` is set, and
// writes them as IDAT chunks holding one zlib stream. Every piece but the
// last ends on a byte boundary with an empty stored block.
Status WriteImageDataInPieces(PngWriter& writer, const PngRowFilter& filterRows);

// Fills the four filter buffers for rawRow against previousRow and returns
// the filter type (0..4) whose buffer holds the most runs of small values.
int ChooseFilter(PngWriter& writer);

}  // namespace vrelk
