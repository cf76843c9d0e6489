// Colour reduction: 8-bit paletted or 24-bit images to 1, 2, 4 or 8 bits
// with a palette of their own. Images whose colours fit keep them exactly;
// others get a palette chosen from a colour histogram around fixed seed
// colours, and Floyd-Steinberg error diffusion in memory order.
#pragma once

#include <cstdint>
#include <vector>

#include "pixel/pixel_converter.h"
#include "picture/status.h"

namespace vrelk {

// Each entry fails as unsupported for a depth or buffer it does not take,
// and as noMemory when its working memory cannot be had.

// sourceBits 8 or 24 to targetBits 1: black and white by a grey threshold
// of 128, packed rows at the converter's stride.
Status reduceToTwoLevels(PixelConverter& converter);

// sourceBits 8 or 24 to targetBits 2, 4 or 8, packed rows at the
// converter's stride.
Status reduceColours(PixelConverter& converter);

// sourceBits 8 or 24 to one palette index per byte, rows of exactly width
// bytes, bottom row first like the source. targetBits 1..8 sets the palette
// size; 3, 5, 6 and 7 are allowed here. At targetBits 1 an image of one or
// two colours keeps them; others become black and white.
Status reduceToIndexBytes(const RgbQuad* sourcePalette, const std::uint8_t* sourcePixels, RgbQuad* targetPalette,
                          PixelConverter& converter, std::uint8_t* targetPixels);

// The clamp and error-share tables; run before every reduction.
void buildDiffusionTables(PixelConverter& converter);

// Squared differences, filled once per converter.
void buildSquares(PixelConverter& converter);

// The entry among the first `count` of converter.targetPalette nearest to
// the blue, green, red `pixel`, the first one on ties: a plain scan, kept as
// the measure of NearestSearch. Needs buildSquares.
int nearestEntry(const PixelConverter& converter, const std::uint8_t* pixel, int count);

// The same entry as nearestEntry, found among the few entries that can be
// nearest anywhere in the small cube of colour space around the pixel. The
// candidate list of a cube is made the first time a pixel falls in it.
class NearestSearch {
public:
    // Throws std::bad_alloc when memory runs out.
    NearestSearch(const RgbQuad* palette, int count);

    int find(const std::uint8_t* bgr);

private:
    static constexpr int kCellShift = 3;
    static constexpr int kCellsPerSide = 256 >> kCellShift;

    void buildCell(std::size_t cell, int blue, int green, int red);

    const RgbQuad* palette_;
    int count_;
    std::vector<std::int32_t> cellStart_;
    std::vector<std::uint16_t> cellCount_;
    std::vector<std::uint8_t> candidates_;
};

}  // namespace vrelk
