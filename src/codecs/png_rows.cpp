#include <array>
#include <cstdint>

#include "codecs/png_reader.h"

namespace vrelk {
namespace {

// ---- Row routines ----------------------------------------------------------
//
// Each routine undoes one filter on one row and writes the row's pixels to
// the output in the same pass. 16-bit formats reconstruct only the high byte
// of each sample: filters work bytewise, so high bytes depend only on high
// bytes and the low bytes are never needed.

template <int Filter>
inline std::uint8_t reconstruct(std::uint8_t raw, std::uint8_t left, std::uint8_t above, std::uint8_t upperLeft)
{
    if constexpr (Filter == 1)
        return static_cast<std::uint8_t>(raw + left);
    else if constexpr (Filter == 2)
        return static_cast<std::uint8_t>(raw + above);
    else if constexpr (Filter == 3)
        return static_cast<std::uint8_t>(raw + ((left + above) >> 1));
    else if constexpr (Filter == 4)
        return static_cast<std::uint8_t>(raw + PaethPredictor(left, above, upperLeft));
    else
        return raw;
}

enum class Emit { index, bgr, greyAlpha, bgrAlpha };

template <Emit E, int SampleBytes>
inline void emitPixel(const std::uint8_t* pixel, std::uint8_t* out, std::uint8_t* alpha)
{
    if constexpr (E == Emit::index || E == Emit::greyAlpha)
        out[0] = pixel[0];
    if constexpr (E == Emit::bgr || E == Emit::bgrAlpha) {
        out[0] = pixel[2 * SampleBytes];
        out[1] = pixel[SampleBytes];
        out[2] = pixel[0];
    }
    if constexpr (E == Emit::greyAlpha)
        alpha[0] = pixel[SampleBytes];
    if constexpr (E == Emit::bgrAlpha)
        alpha[0] = pixel[3 * SampleBytes];
}

// Formats of whole bytes per pixel: BytesPerPixel is the filter distance.
template <int BytesPerPixel, int SampleBytes, Emit E, int Filter>
void decodePixelRow(PngRowState& row)
{
    const std::int64_t pixels = (row.rowLength - 1) / BytesPerPixel;
    if (pixels <= 0)
        return;
    std::uint8_t* cur = row.currentRow + 1;
    const std::uint8_t* prev = row.previousRow + 1;
    std::uint8_t* out = row.output;
    std::uint8_t* alpha = row.alphaCursor;
    constexpr bool wide = E == Emit::bgr || E == Emit::bgrAlpha;
    const std::int64_t outStep = wide ? row.xStepBytes : row.xStep;

    for (int k = 0; k < BytesPerPixel; k += SampleBytes)
        cur[k] = reconstruct<Filter>(cur[k], 0, prev[k], 0);
    emitPixel<E, SampleBytes>(cur, out, alpha);
    for (std::int64_t x = 1; x < pixels; ++x) {
        cur += BytesPerPixel;
        prev += BytesPerPixel;
        out += outStep;
        if constexpr (E == Emit::greyAlpha || E == Emit::bgrAlpha)
            alpha += row.xStep;
        for (int k = 0; k < BytesPerPixel; k += SampleBytes)
            cur[k] = reconstruct<Filter>(cur[k], cur[k - BytesPerPixel], prev[k], prev[k - BytesPerPixel]);
        emitPixel<E, SampleBytes>(cur, out, alpha);
    }
}

template <int Depth>
inline std::uint8_t* unpackByte(std::uint8_t byte, std::uint8_t* out, std::int64_t step, int count)
{
    constexpr int mask = (1 << Depth) - 1;
    for (int p = 0; p < count; ++p, out += step)
        *out = static_cast<std::uint8_t>((byte >> (8 - Depth * (p + 1))) & mask);
    return out;
}

// Depths 1, 2 and 4: one output byte per index, the row's last byte
// holding only lastBytePixels of them (all when 0).
template <int Depth, int Filter>
void decodePackedRow(PngRowState& row)
{
    constexpr int perByte = 8 / Depth;
    const std::int64_t bytes = row.rowLength - 1;
    if (bytes <= 0)
        return;
    std::uint8_t* cur = row.currentRow + 1;
    const std::uint8_t* prev = row.previousRow + 1;
    std::uint8_t* out = row.output;

    cur[0] = reconstruct<Filter>(cur[0], 0, prev[0], 0);
    for (std::int64_t i = 1; i < bytes; ++i) {
        cur[i] = reconstruct<Filter>(cur[i], cur[i - 1], prev[i], prev[i - 1]);
        out = unpackByte<Depth>(cur[i - 1], out, row.xStep, perByte);
    }
    unpackByte<Depth>(cur[bytes - 1], out, row.xStep, row.lastBytePixels ? row.lastBytePixels : perByte);
}

template <int B, int S, Emit E>
constexpr PngRoutineTable kPixelRoutines{decodePixelRow<B, S, E, 0>, decodePixelRow<B, S, E, 1>,
                                      decodePixelRow<B, S, E, 2>, decodePixelRow<B, S, E, 3>,
                                      decodePixelRow<B, S, E, 4>};

template <int Depth>
constexpr PngRoutineTable kPackedRoutines{decodePackedRow<Depth, 0>, decodePackedRow<Depth, 1>,
                                       decodePackedRow<Depth, 2>, decodePackedRow<Depth, 3>,
                                       decodePackedRow<Depth, 4>};

constexpr std::array<PngPixelFormat, 15> kPixelFormats{{
    {1, 0, 1, 8, &kPackedRoutines<1>},
    {2, 0, 1, 8, &kPackedRoutines<2>},
    {4, 0, 1, 8, &kPackedRoutines<4>},
    {1, 3, 1, 8, &kPackedRoutines<1>},
    {2, 3, 1, 8, &kPackedRoutines<2>},
    {4, 3, 1, 8, &kPackedRoutines<4>},
    {8, 0, 1, 8, &kPixelRoutines<1, 1, Emit::index>},
    {8, 3, 1, 8, &kPixelRoutines<1, 1, Emit::index>},
    {8, 4, 2, 8, &kPixelRoutines<2, 1, Emit::greyAlpha>},
    {8, 2, 3, 24, &kPixelRoutines<3, 1, Emit::bgr>},
    {8, 6, 4, 24, &kPixelRoutines<4, 1, Emit::bgrAlpha>},
    {16, 0, 2, 8, &kPixelRoutines<2, 2, Emit::index>},
    {16, 4, 4, 8, &kPixelRoutines<4, 2, Emit::greyAlpha>},
    {16, 2, 6, 24, &kPixelRoutines<6, 2, Emit::bgr>},
    {16, 6, 8, 24, &kPixelRoutines<8, 2, Emit::bgrAlpha>},
}};

}  // namespace

const PngPixelFormat* findPngPixelFormat(int bitDepth, int colourType)
{
    for (const PngPixelFormat& format : kPixelFormats)
        if (format.bitDepth == bitDepth && format.colourType == colourType)
            return &format;
    return nullptr;
}

}  // namespace vrelk
