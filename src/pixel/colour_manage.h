// Colour management through Little CMS: what an embedded colour profile
// says about a picture, and its colours turned into sRGB for files that
// cannot carry a profile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "picture/picture.h"

namespace vrelk {

// What an embedded profile describes, as far as this program uses it.
enum class ProfileKind {
    unusable,  // damaged, or not a profile pictures can be converted from
    srgb,      // shows as the pixels do without any profile
    rgb,
    grey,
    cmyk,
};

ProfileKind classifyProfile(std::span<const std::uint8_t> icc);

// Rows from a profile's colour space into sRGB, relative colorimetric with
// black-point compensation, written blue, green, red.
class SrgbTransform {
public:
    enum class Input { bgr, grey, cmyk, invertedCmyk };

    // None when the profile cannot describe that input.
    static std::optional<SrgbTransform> create(std::span<const std::uint8_t> icc, Input input);

    // Safe to call from several threads at once; `in` may be `out`.
    void convert(const std::uint8_t* in, std::uint8_t* out, std::size_t pixels) const;

    // Tables for a matrix-shaper profile: each input level's share of each
    // output channel in linear light, and linear light back to sRGB levels.
    struct MatrixShaper;

private:
    struct Deleter {
        void operator()(void* transform) const;
    };
    explicit SrgbTransform(void* transform) : transform_(transform) {}
    std::unique_ptr<void, Deleter> transform_;
    std::shared_ptr<const MatrixShaper> shaper_;
};

// Settles the colours of a decoded image before it is reduced and written.
// A profile the writer keeps stays with the pixels untouched; any other
// usable profile has the pixels (24 bits) or the palette (8 bits and less)
// converted into sRGB and is dropped. sRGB profiles and profiles that
// cannot be used are dropped with nothing converted.
void SettleColours(Picture& image, bool writerKeepsRgbProfile);

// The profile of colours given as ITU-T H.273 colour primaries and
// transfer characteristics (as HEIF's nclx box gives them); empty for sRGB
// and for pairs it has no profile for.
std::vector<std::uint8_t> ProfileFromCodePoints(int primaries, int transfer);

}  // namespace vrelk
