// The sample layouts the TIFF reader converts itself, and the routine that
// turns one row of each into the picture's pixels: grey and palette indices
// into 8 bits with a palette, colour into blue-green-red, alpha composited
// over white, CMYK into ink amounts for the colour path; and the rows put
// together from strips and handed to the picture.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "picture/picture.h"
#include "pixel/colour_manage.h"

#include "pixel/lookup_tables.h"

namespace vrelk {

enum class TiffColour : std::uint8_t { grey, palette, rgb, cmyk };
enum class TiffSampleFormat : std::uint8_t { unsignedInteger, floatingPoint };
enum class TiffAlpha : std::uint8_t { none, associated, unassociated };

// One row's geometry: pixels, samples per pixel (the step from one pixel
// to the next, extra samples included), and the blend table for alpha.
struct TiffRowShape {
    std::int32_t width = 0;
    std::uint32_t samplesPerPixel = 1;
    const LookupTables* tables = nullptr;
};

using TiffRowRoutine = void (*)(const std::uint8_t* in, std::uint8_t* out, const TiffRowShape& shape);

struct TiffSampleLayout {
    TiffColour colour;
    std::uint32_t bits;
    TiffSampleFormat format;
    TiffAlpha alpha;
    // 8: indices with a palette; 24: blue-green-red; 32: ink amounts, four
    // bytes a pixel, for the colour path to finish.
    int outputBits;
    TiffRowRoutine littleEndian;
    TiffRowRoutine bigEndian;
};

// The layout of these samples, none when the reader leaves them to
// libtiff's general decode. A colour model takes one sample (grey,
// palette), three (RGB) or four (CMYK) besides its extra samples.
const TiffSampleLayout* FindTiffLayout(TiffColour colour, std::uint32_t bits, TiffSampleFormat format,
                                       TiffAlpha alpha);

// Ink amounts (cyan, magenta, yellow, black; 0 is no ink) as blue-green-red
// without a colour profile: each channel is the paper's white less its ink,
// weighted by the black.
void InkToBgr(const std::uint8_t* ink, std::uint8_t* out, std::int32_t width);

// A pixel libtiff's general decode gives (red in the low byte, alpha in the
// high, colours already multiplied by alpha) over white, as blue-green-red.
void CompositeAbgrRow(const std::uint32_t* in, std::uint8_t* out, std::int32_t width, const LookupTables& tables);

// The same pixels with their alpha kept: straight blue, green, red, alpha.
void UnpremultiplyAbgrRow(const std::uint32_t* in, std::uint8_t* out, std::int32_t width);

// Sample rows, top first, into the picture's bottom-up rows; CMYK rows go
// through the ink amounts to the colour path.
class TiffRowSink {
public:
    TiffRowSink(Picture& image, TiffRowRoutine routine, TiffRowShape shape, const SrgbTransform* inkProfile,
                std::uint8_t* inkRow)
        : image_(image), routine_(routine), shape_(shape), inkProfile_(inkProfile), inkRow_(inkRow)
    {
    }

    bool full() const { return next_ >= image_.height; }

    // Rows from `row` down, for a part of the picture read on its own.
    void startAt(std::int32_t row) { next_ = row; }

    // The next row down; rows past the picture's last are the caller's to hold back.
    void put(const std::uint8_t* samples);

private:
    Picture& image_;
    TiffRowRoutine routine_;
    TiffRowShape shape_;
    const SrgbTransform* inkProfile_;
    std::uint8_t* inkRow_;
    std::int32_t next_ = 0;
};

// Cuts a run of bytes (strips one after the other) into rows. Rows the
// bytes do not reach stay as allocated; a row partly present is padded
// with zeros.
class TiffRowAssembler {
public:
    TiffRowAssembler(TiffRowSink& sink, std::span<std::uint8_t> partial) : sink_(sink), partial_(partial) {}

    void feed(std::span<const std::uint8_t> bytes);
    void finish();

private:
    void putRow(const std::uint8_t* row)
    {
        if (!sink_.full())
            sink_.put(row);
    }

    TiffRowSink& sink_;
    std::span<std::uint8_t> partial_;
    std::size_t held_ = 0;
};

}  // namespace vrelk
