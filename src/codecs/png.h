// PNG files: the reader (every standard depth and colour type, Adam7,
// gamma and transparency composited over the background) and the writer
// (palette PNGs at 1, 2, 4 and 8 bits, RGB PNGs from 24-bit images).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "codecs/codec_file.h"
#include "codecs/png_common.h"
#include "pixel/image.h"
#include "pixel/lookup_tables.h"

namespace vrelk {

// Failure reasons of the PNG codec besides the common ones.
enum PngError : std::int32_t {
    kPngBadCrc = 9,
    kPngChunkTooLong = 10,
    kPngHeaderLength = 11,
    kPngHeaderMissing = 12,
    kPngBadColourType = 14,
    kPngBadBitDepth = 15,
    kPngBadCompression = 16,
    kPngBadFilterMethod = 17,
    kPngBadInterlace = 18,
    kPngChunkOrder = 20,
    kPngMissingData = 21,
    kPngBrokenDataRun = 22,
    kPngZlib = 23,
    kPngDeflate = 24,
};

struct PngReader;

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

struct PngReader : CodecObject {
    PngReader();

    CrcTable crcTable{};
    std::int32_t bitDepth = 0;
    std::int32_t colourType = 0;
    bool isGrey = false;
    bool interlaced = false;
    std::int32_t paletteCount = 0;
    std::int32_t bytesPerPixel = 0;
    bool seenPLTE = false;
    bool seenIDAT = false;
    bool seenIEND = false;
    bool seenGamma = false;
    bool seenTransparency = false;
    std::int64_t idatLength = 0;
    std::int32_t fileGamma = 0;
    std::uint8_t keyRed = 0;
    std::uint8_t keyGreen = 0;
    std::uint8_t keyBlue = 0;
    std::array<std::uint8_t, 256> alphaTable{};
    std::int32_t xPixelsPerMetre = 0;
    std::int32_t yPixelsPerMetre = 0;
    std::int64_t outputStride = 0;
    std::int32_t bytesPerSample = 0;
    PageBuffer pixelBuffer;
    PageBuffer alphaPlane;
    std::int32_t outputBits = 8;
    bool hasAlpha = false;
    bool compositeTransparency = true;
    bool useGivenBackground = false;
    std::uint8_t backgroundRed = 255;
    std::uint8_t backgroundGreen = 255;
    std::uint8_t backgroundBlue = 255;
    std::int32_t displayGamma = 0;
    const LookupTables* tables = nullptr;
    std::array<PngRowRoutine, 5> filterRoutines{};

    // Run before every file.
    void resetForRead();
};

// Decodes the mapped file at `in` into reader.image (8 bits with a palette
// or 24 bits). Null on failure, with reader.errorCode telling why.
DibImage* ReadPng(PngReader& reader, ReadCursor& in);

// Frees what a failed read left and closes the files.
void ReleasePngReader(PngReader& reader);

struct PngWriter : CodecObject {
    PngWriter();

    CrcTable crcTable{};
    std::int32_t bitDepth = 0;
    std::int32_t colourType = 0;
    std::int32_t paletteCount = 0;
    std::int32_t bytesPerPixel = 0;
    std::int32_t compressionLevel = 9;
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

    void resetForWrite();
};

// Writes width x height at writer.sourceBits (1, 2, 4, 8 or 24) from pixels
// laid out as computeLayout gave the writer.
bool WritePng(PngWriter& writer, const platform::Path& path, const Palette& palette,
              std::span<const std::uint8_t> pixels);

// Fills the four filter buffers for rawRow against previousRow and returns
// the filter type (0..4) whose buffer holds the most runs of small values.
int ChooseFilter(PngWriter& writer);

void ReleasePngWriter(PngWriter& writer);

}  // namespace vrelk
