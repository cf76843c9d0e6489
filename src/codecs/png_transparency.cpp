#include <algorithm>
#include <array>
#include <cmath>

#include "codecs/png_reader.h"

namespace vrelk {
namespace {

using GammaTable = std::array<std::uint8_t, 256>;

GammaTable gammaTable(const PngReader& reader)
{
    GammaTable table;
    for (int i = 0; i < 256; ++i)
        table[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    if (!reader.seenGamma || reader.displayGamma == 0)
        return table;
    const double exponent = 1.0 / (reader.fileGamma / 100000.0 * (reader.displayGamma / 1000.0));
    for (int i = 1; i < 256; ++i)
        table[static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(std::min(255.0, std::floor(255.0 * std::pow(i / 255.0, exponent) + 0.5)));
    return table;
}

class Blender {
public:
    explicit Blender(const LookupTables& tables) : table_(tables.blendTable) {}
    std::uint8_t operator()(std::uint8_t alpha, std::uint8_t value, std::uint8_t background) const
    {
        int sum = table_[alpha][value] + table_[255 - alpha][background];
        return static_cast<std::uint8_t>(std::min(sum, 255));
    }

private:
    const std::array<std::array<std::uint8_t, 256>, 256>& table_;
};

void applyGammaToPalette(PngReader& reader, const GammaTable& g)
{
    for (RgbQuad& c : reader.image.palette) {
        c.rgbRed = g[c.rgbRed];
        c.rgbGreen = g[c.rgbGreen];
        c.rgbBlue = g[c.rgbBlue];
    }
}

void applyGammaToPixels(PngReader& reader, const GammaTable& g)
{
    std::uint8_t* p = reader.pixelBuffer.data();
    for (std::size_t i = 0, n = reader.pixelBuffer.size(); i < n; ++i)
        p[i] = g[p[i]];
}

// The colour key is matched against the decoded samples, before gamma
// changes them; matching pixels take the background, the others the gamma.
void applyGammaAndColourKey(PngReader& reader, const GammaTable& g)
{
    const std::uint8_t key[3] = {reader.keyBlue, reader.keyGreen, reader.keyRed};
    const std::uint8_t background[3] = {reader.backgroundBlue, reader.backgroundGreen, reader.backgroundRed};
    for (std::int64_t y = 0; y < reader.height; ++y) {
        std::uint8_t* p = reader.pixelBuffer.data() + y * reader.outputStride;
        for (std::int64_t x = 0; x < reader.width; ++x, p += 3) {
            bool transparent = p[0] == key[0] && p[1] == key[1] && p[2] == key[2];
            for (int c = 0; c < 3; ++c)
                p[c] = transparent ? background[c] : g[p[c]];
        }
    }
}

void compositeAlpha(PngReader& reader)
{
    Blender blend(*reader.tables);
    const std::uint8_t r = reader.backgroundRed, g = reader.backgroundGreen, b = reader.backgroundBlue;
    const bool colour = reader.outputBits == 24;
    for (std::int64_t y = 0; y < reader.height; ++y) {
        std::uint8_t* p = reader.pixelBuffer.data() + y * reader.outputStride;
        const std::uint8_t* a = reader.alphaPlane.data() + y * reader.width;
        if (colour) {
            for (std::int64_t x = 0; x < reader.width; ++x, p += 3) {
                p[0] = blend(a[x], p[0], b);
                p[1] = blend(a[x], p[1], g);
                p[2] = blend(a[x], p[2], r);
            }
        } else {
            for (std::int64_t x = 0; x < reader.width; ++x)
                p[x] = blend(a[x], p[x], r);
        }
    }
}

void compositePalette(PngReader& reader)
{
    Blender blend(*reader.tables);
    for (std::size_t i = 0; i < reader.image.palette.size(); ++i) {
        RgbQuad& c = reader.image.palette[i];
        const std::uint8_t a = reader.alphaTable[i];
        c.rgbBlue = blend(a, c.rgbBlue, reader.backgroundBlue);
        c.rgbGreen = blend(a, c.rgbGreen, reader.backgroundGreen);
        c.rgbRed = blend(a, c.rgbRed, reader.backgroundRed);
    }
}

}  // namespace

void applyGammaAndTransparency(PngReader& reader)
{
    const GammaTable g = gammaTable(reader);
    const bool composite = reader.compositeTransparency && (reader.seenTransparency || reader.hasAlpha);
    if (composite && reader.colourType == 2) {
        applyGammaAndColourKey(reader, g);
        return;
    }
    if (reader.seenGamma && reader.displayGamma != 0) {
        if (reader.outputBits == 8)
            applyGammaToPalette(reader, g);
        else
            applyGammaToPixels(reader, g);
    }
    if (!composite)
        return;
    switch (reader.colourType) {
    case 0:
        reader.image.palette[reader.keyGreen] =
            RgbQuad{reader.backgroundBlue, reader.backgroundGreen, reader.backgroundRed, 0};
        break;
    case 3: compositePalette(reader); break;
    case 4:
    case 6: compositeAlpha(reader); break;
    default: break;
    }
}

}  // namespace vrelk

namespace vrelk {
namespace {

// Colour type 2's key as an alpha plane, matched against the samples
// before gamma changes them.
Status keyAlphaPlane(PngReader& reader)
{
    reader.alphaPlane = PageBuffer::allocate(static_cast<std::size_t>(std::int64_t{reader.width} * reader.height));
    if (!reader.alphaPlane)
        return CodecError::noMemory;
    const std::uint8_t key[3] = {reader.keyBlue, reader.keyGreen, reader.keyRed};
    for (std::int64_t y = 0; y < reader.height; ++y) {
        const std::uint8_t* p = reader.pixelBuffer.data() + y * reader.outputStride;
        std::uint8_t* a = reader.alphaPlane.data() + y * reader.width;
        for (std::int64_t x = 0; x < reader.width; ++x, p += 3)
            a[x] = p[0] == key[0] && p[1] == key[1] && p[2] == key[2] ? 0 : 255;
    }
    return {};
}

bool indexAlphaUsed(PngReader& reader)
{
    if (reader.colourType == 0) {
        reader.indexAlpha.fill(255);
        reader.indexAlpha[reader.keyGreen] = 0;
    } else {
        reader.indexAlpha = reader.alphaTable;
    }
    Picture view;
    view.width = reader.width;
    view.height = reader.height;
    view.layout = PixelLayout::palette8;
    view.stride = reader.outputStride;
    view.pixels = std::move(reader.pixelBuffer);
    const bool used = usesTransparentIndex(view, reader.indexAlpha);
    reader.pixelBuffer = std::move(view.pixels);
    return used;
}

}  // namespace

Status settleKeptAlpha(PngReader& reader)
{
    if (!reader.keepAlpha || !reader.pixelBuffer || !(reader.seenTransparency || reader.hasAlpha))
        return {};
    KeptPngAlpha kept = KeptPngAlpha::none;
    if (reader.colourType == 0 || reader.colourType == 3) {
        kept = indexAlphaUsed(reader) ? KeptPngAlpha::index : KeptPngAlpha::none;
    } else {
        if (reader.colourType == 2)
            if (Status made = keyAlphaPlane(reader); !made)
                return made;
        kept = planeHasTransparency({reader.alphaPlane.data(), reader.alphaPlane.size()}) ? KeptPngAlpha::plane
                                                                                           : KeptPngAlpha::none;
    }
    reader.keptAlpha = kept;
    if (kept != KeptPngAlpha::none)
        reader.compositeTransparency = false;
    return {};
}

}  // namespace vrelk
