// The palette of a reduction: the image's own colours when they fit, or
// one chosen from a colour histogram around fixed seed colours.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "pixel/error_diffusion.h"
#include "pixel/pixel_converter.h"

namespace vrelk {

struct Bgr {
    std::uint8_t b, g, r;
};

struct PaletteChoice {
    std::span<const Bgr> seeds;
    int size;
    std::int32_t distanceLimit;
};

// The seeds, size and seed distance limit of a palette of 2^bits entries,
// bits 2..8.
const PaletteChoice& paletteChoice(int bits);

constexpr std::uint32_t colourKey(const std::uint8_t* bgr)
{
    return std::uint32_t{bgr[2]} << 16 | std::uint32_t{bgr[1]} << 8 | bgr[0];
}

constexpr int brightness(const RgbQuad& c) { return c.rgbBlue + c.rgbGreen + c.rgbRed; }

constexpr bool sameColour(const RgbQuad& a, const RgbQuad& b)
{
    return a.rgbBlue == b.rgbBlue && a.rgbGreen == b.rgbGreen && a.rgbRed == b.rgbRed;
}

inline void setColour(RgbQuad& entry, std::uint8_t blue, std::uint8_t green, std::uint8_t red)
{
    entry.rgbBlue = blue;
    entry.rgbGreen = green;
    entry.rgbRed = red;
}

// Marks each colour in the 2^24-bit presence set; returns how many differ.
class PresenceSet {
public:
    PresenceSet() : bits_(PageBuffer::allocate(std::size_t{1} << 21)) {}
    explicit operator bool() const { return static_cast<bool>(bits_); }

    // True the first time a colour is seen.
    bool insert(std::uint32_t key)
    {
        std::uint8_t& byte = bits_.data()[key >> 3];
        const std::uint8_t bit = static_cast<std::uint8_t>(1u << (key & 7));
        const bool fresh = (byte & bit) == 0;
        byte |= bit;
        return fresh;
    }

private:
    PageBuffer bits_;
};

struct SourceRows {
    const std::uint8_t* pixels;
    std::int64_t stride;
};

// Colours of an 8-bit image: source entry 0, then each entry whose colour is
// new, in source order, so the image's own palette order survives. When that
// list is longer than the target holds, only entries the pixels use are
// listed, so no pixel loses its colour.
void exactFromPalette(PixelConverter& converter, const SourceRows& source, const std::array<bool, 256>& used,
                      int capacity, IndexRows& out);

// Colours of a 24-bit image in order of first appearance, then by
// brightness, darkest first.
void exactFromColours(PixelConverter& converter, const SourceRows& source, const std::vector<std::uint32_t>& colours,
                      IndexRows& out);

// Fills the first choice.size entries of converter.targetPalette from the
// colours of the 24-bit working copy. Needs buildSquares.
void choosePaletteFor(PixelConverter& converter, const std::uint8_t* work, const PaletteChoice& choice);

}  // namespace vrelk
