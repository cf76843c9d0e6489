// The PNG reader's pieces: the state of one read, the row routines for
// each pixel format, and the gamma and transparency pass. Only the PNG
// reader's sources include this.
#pragma once

#include <array>
#include <cstdint>

#include "codecs/png.h"
#include "picture/picture.h"
#include "pixel/alpha.h"
#include "pixel/lookup_tables.h"

namespace vrelk {

// Where kept transparency comes from: the alpha plane (colour types 4 and
// 6, and the colour key of type 2 made into one) or each index's alpha.
enum class KeptPngAlpha { none, plane, index };

// Everything one read works with, made afresh for every file.
struct PngReader {
    std::int32_t width = 0;
    std::int32_t height = 0;
    Picture image;
    ReadLimits limits;
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
    bool seenProfile = false;
    bool streamCutShort = false;
    std::int64_t idatLength = 0;
    std::int32_t fileGamma = 0;
    std::uint8_t keyRed = 0;
    std::uint8_t keyGreen = 0;
    std::uint8_t keyBlue = 0;
    std::array<std::uint8_t, 256> alphaTable{};
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
    bool keepAlpha = false;
    KeptPngAlpha keptAlpha = KeptPngAlpha::none;
    IndexAlpha indexAlpha{};
    const LookupTables* tables = nullptr;
    std::array<PngRowRoutine, 5> filterRoutines{};
};

using PngRoutineTable = std::array<PngRowRoutine, 5>;

// How the rows of one bit depth and colour type decode: bytes per pixel
// in the file, bits per pixel of the image, and a routine for each filter.
struct PngPixelFormat {
    int bitDepth;
    int colourType;
    int bytesPerPixel;
    int outputBits;
    const PngRoutineTable* routines;
};

// Null for a pair the format does not define.
const PngPixelFormat* findPngPixelFormat(int bitDepth, int colourType);

// Inflates the image data (the IDAT run's `size` bytes at `data`) and
// unfilters each row into the picture and its alpha plane. A stream that
// ends early or fails keeps the rows so far and sets streamCutShort.
Status DecodePngImageData(PngReader& reader, const std::uint8_t* data, std::uint64_t size);

// What that decoding holds beside the picture for a large picture, whose
// rows are inflated ahead on a lent core; 0 for others.
std::uint64_t PngInflateAheadBytes(const PngReader& reader);

// Applies the file's gamma against the display's, then composites alpha
// and the transparent colour or entries onto the background.
void applyGammaAndTransparency(PngReader& reader);

// With transparency kept: settles where the alpha comes from and turns
// compositing off, unless every pixel is opaque, when the picture reads as
// it would without. Fails only when memory runs out.
Status settleKeptAlpha(PngReader& reader);

}  // namespace vrelk
