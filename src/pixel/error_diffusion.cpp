#include "pixel/error_diffusion.h"

#include <algorithm>

#include "pixel/bit_depth.h"
#include "pixel/colour_reduce.h"
#include "pixel/palette_builder.h"

namespace vrelk {

bool reduceTwoLevels(PixelConverter& converter, IndexRows& out)
{
    const std::size_t size = static_cast<std::size_t>(converter.width) * static_cast<std::size_t>(converter.height);
    PageBuffer grey = PageBuffer::allocate(size);
    if (!grey)
        return false;
    PixelConverter greyConverter;
    greyConverter.width = converter.width;
    greyConverter.height = converter.height;
    greyConverter.sourceBits = converter.sourceBits;
    greyConverter.targetBits = 8;
    if (!convertToGrey(greyConverter, converter.sourcePalette, converter.sourcePixels, grey.data()).ok())
        return false;
    setColour(converter.targetPalette[0], 0, 0, 0);
    setColour(converter.targetPalette[1], 255, 255, 255);
    diffuse<1>(converter, grey.data(), converter.width, out, [](const std::uint8_t* p, int* error) {
        const int v = p[0];
        const int bit = v >> 7;
        error[0] = v - 255 * bit;
        return static_cast<std::uint8_t>(bit);
    });
    return true;
}

void buildDiffusionTables(PixelConverter& converter)
{
    for (int i = -255; i <= 512; ++i)
        converter.clamp[static_cast<std::size_t>(i + 255)] = static_cast<std::uint8_t>(std::clamp(i, 0, 255));
    for (int e = -255; e <= 255; ++e) {
        converter.share1[e] = e >> 4;
        converter.share3[e] = (3 * e) >> 4;
        converter.share5[e] = (5 * e) >> 4;
        converter.share7[e] = (7 * e) >> 4;
    }
}

}  // namespace vrelk
