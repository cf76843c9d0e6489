#include "pixel/colour_reduce.h"

#include <array>
#include <cstring>

#include "pixel/bit_depth.h"
#include "pixel/error_diffusion.h"
#include "pixel/palette_builder.h"

namespace vrelk {
namespace {

// Maps the working copy onto the chosen palette, diffusing the error.
bool quantise(PixelConverter& converter, std::uint8_t* work, IndexRows& out, const PaletteChoice& choice)
{
    choosePaletteFor(converter, work, choice);

    const std::int64_t workStride = converter.workStride;
    const RgbQuad* palette = converter.targetPalette;
    // The search fills its candidate lists as it goes, so each thread has one.
    diffuse<3>(converter, work, workStride, out, [&] {
        return [palette, search = NearestSearch(palette, choice.size)](const std::uint8_t* p, int* error) mutable {
            const int index = search.find(p);
            const RgbQuad& c = palette[index];
            error[0] = p[0] - c.rgbBlue;
            error[1] = p[1] - c.rgbGreen;
            error[2] = p[2] - c.rgbRed;
            return static_cast<std::uint8_t>(index);
        };
    });
    return true;
}

// The 24-bit working copy that diffusion changes as it goes.
PageBuffer makeWorkCopy(PixelConverter& converter, const SourceRows& source)
{
    converter.workStride = rowLayout(converter.width, 1, 24).stride;
    PageBuffer work = PageBuffer::allocate(static_cast<std::size_t>(converter.workStride * converter.height));
    if (!work)
        return work;
    if (converter.sourceBits == 24) {
        std::memcpy(work.data(), source.pixels, work.size());
        return work;
    }
    PixelConverter expand;
    expand.width = converter.width;
    expand.height = converter.height;
    expand.sourceBits = 8;
    expand.targetBits = 24;
    expand.computeLayout();
    if (!convertPixels(nullptr, work.data(), expand, converter.sourcePalette, source.pixels).ok())
        work.reset();
    return work;
}

// Whether a 24-bit image has at most `most` colours, which `firstSeen` then
// holds in order of first appearance. A photo shows it has more within its
// first rows, so the scan stops there.
bool coloursFit(const PixelConverter& converter, const SourceRows& source, PresenceSet& present, int most,
                std::vector<std::uint32_t>& firstSeen)
{
    for (std::int32_t y = 0; y < converter.height; ++y) {
        const std::uint8_t* p = source.pixels + y * source.stride;
        for (std::int32_t x = 0; x < converter.width; ++x, p += 3)
            if (present.insert(colourKey(p))) {
                if (firstSeen.size() == static_cast<std::size_t>(most))
                    return false;
                firstSeen.push_back(colourKey(p));
            }
    }
    return true;
}

// `exactUpTo`: the most colours kept exactly.
bool reducePalette(PixelConverter& converter, IndexRows& out, int exactUpTo, const PaletteChoice* choice)
{
    const SourceRows source{converter.sourcePixels, rowLayout(converter.width, 1, converter.sourceBits).stride};
    if (converter.squaresReady == nullptr)
        buildSquares(converter);

    if (converter.sourceBits == 8) {
        std::array<bool, 256> used{};
        for (std::int32_t y = 0; y < converter.height; ++y) {
            const std::uint8_t* row = source.pixels + y * source.stride;
            for (std::int32_t x = 0; x < converter.width; ++x)
                used[row[x]] = true;
        }
        int distinct = 0;
        for (int i = 0; i < 256; ++i) {
            if (!used[static_cast<std::size_t>(i)])
                continue;
            int j = 0;
            while (j < i && !(used[static_cast<std::size_t>(j)] &&
                              sameColour(converter.sourcePalette[j], converter.sourcePalette[i])))
                ++j;
            distinct += j == i;
        }
        if (distinct <= exactUpTo) {
            exactFromPalette(converter, source, used, 1 << converter.targetBits, out);
            return true;
        }
    } else {
        PresenceSet present;
        if (!present)
            return false;
        if (std::vector<std::uint32_t> firstSeen; coloursFit(converter, source, present, exactUpTo, firstSeen)) {
            exactFromColours(converter, source, firstSeen, out);
            return true;
        }
    }
    if (!choice)
        return false;
    PageBuffer work = makeWorkCopy(converter, source);
    if (!work)
        return false;
    return quantise(converter, work.data(), out, *choice);
}

bool sourceUsable(const PixelConverter& converter)
{
    return converter.width > 0 && converter.height > 0 && converter.sourcePixels && converter.targetPixels &&
           converter.targetPalette &&
           (converter.sourceBits == 24 || (converter.sourceBits == 8 && converter.sourcePalette));
}

// After the checks of the entries, the only way left to fail is memory.
template <class Work>
Status guarded(Work work)
{
    return withoutExceptions([&]() -> Status { return work() ? Status{} : Status{CodecError::noMemory}; });
}

constexpr std::array<PackRow, 9> kPackRows{nullptr, packRow<1>, packRow<2>, nullptr, packRow<4>,
                                           nullptr, nullptr,    nullptr,    nullptr};

}  // namespace

Status reduceToTwoLevels(PixelConverter& converter)
{
    if (converter.targetBits != 1 || !sourceUsable(converter))
        return CodecError::unsupported;
    return guarded([&] {
        IndexRows out(converter.targetPixels, converter.stride, packRow<1>, converter.width);
        return reduceTwoLevels(converter, out);
    });
}

Status reduceColours(PixelConverter& converter)
{
    const int bits = converter.targetBits;
    if ((bits != 2 && bits != 4 && bits != 8) || !sourceUsable(converter))
        return CodecError::unsupported;
    return guarded([&] {
        IndexRows out(converter.targetPixels, converter.stride, kPackRows[static_cast<std::size_t>(bits)],
                      converter.width);
        return reducePalette(converter, out, 1 << bits, &paletteChoice(bits));
    });
}

Status reduceToIndexBytes(const RgbQuad* sourcePalette, const std::uint8_t* sourcePixels, RgbQuad* targetPalette,
                          PixelConverter& converter, std::uint8_t* targetPixels)
{
    converter.sourcePalette = sourcePalette;
    converter.sourcePixels = sourcePixels;
    converter.targetPalette = targetPalette;
    converter.targetPixels = targetPixels;
    const int bits = converter.targetBits;
    if (bits < 1 || bits > 8 || !sourceUsable(converter))
        return CodecError::unsupported;
    return guarded([&] {
        IndexRows out(targetPixels, converter.width, nullptr, converter.width);
        if (bits == 1)
            return reducePalette(converter, out, 2, nullptr) || reduceTwoLevels(converter, out);
        return reducePalette(converter, out, 1 << bits, &paletteChoice(bits));
    });
}

}  // namespace vrelk
