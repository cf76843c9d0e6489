// What the HEIF container says, read from the boxes themselves in one pass:
// every item with its data, properties and references, which one is the
// picture, the size its coded picture has, and the crop, turns and
// mirrorings a viewer applies, in the order the file associates them.
// libheif decodes the coded picture; this reader shows it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "picture/status.h"

namespace vrelk {

// A clean aperture as stored: sizes and offsets as fractions; the offsets
// move the crop's centre from the picture's.
struct CleanAperture {
    std::int64_t widthN = 0, widthD = 0, heightN = 0, heightD = 0;
    std::int64_t horizontalOffsetN = 0, horizontalOffsetD = 0, verticalOffsetN = 0, verticalOffsetD = 0;
};

struct HeifTransform {
    enum class Kind { crop, rotate, mirror } kind;
    // rotate: anticlockwise quarter turns 0..3; mirror: 0 swaps top and
    // bottom, 1 swaps left and right.
    int value = 0;
    CleanAperture aperture{};
};

struct PrimaryItem {
    std::uint32_t id = 0;
    std::int64_t codedWidth = 0;   // its ispe: the coded (or assembled grid) picture
    std::int64_t codedHeight = 0;
    std::vector<HeifTransform> transforms;
};

// An item of the file as the decoder will meet it: its type, its data
// and the properties and references libheif decodes it by.
struct HeifItem {
    std::uint32_t id = 0;
    std::array<char, 4> type{};  // "hvc1", "av01", "grid", ...; zeros for an entry without one
    std::optional<std::array<std::int64_t, 2>> size;  // its first ispe
    std::optional<std::span<const std::uint8_t>> config;  // the body of its first hvcC (av1C for av01)
    bool alpha = false;  // its first auxC names an alpha plane
    std::vector<std::span<const std::uint8_t>> extents;  // its data, in order
    bool dataReadable = true;  // false: kept elsewhere than in this file's bytes or its idat
    std::vector<std::uint32_t> derivedFrom;  // its dimg references, in order
    std::vector<std::uint32_t> auxiliaryOf;  // its auxl references
    std::vector<HeifTransform> transforms;   // its clap, irot and imir, in association order

    bool is(const char (&name)[5]) const;
};

using HeifItems = std::map<std::uint32_t, HeifItem>;

// Every item of the file by its id, and which one is the picture (pitm). Damaged when a box the decoder reads
// is cut short, or names an item, its data or its properties twice (libheif
// and this reader might then take different ones); truncated when an
// item's data lies past the end of the file.
struct HeifFile {
    std::uint32_t primary = 0;
    HeifItems items;
};
Result<HeifFile> ReadHeifFile(std::span<const std::uint8_t> file);

// The primary item's coded size and transforms; damaged when it is missing
// or states no size.
Result<PrimaryItem> PrimaryItemOf(const HeifFile& file);

// A rectangle of the coded picture and where its pixels go: the Exif
// orientation (1..8) that shows the rectangle as the viewer sees it.
struct HeifPlacement {
    std::int64_t left = 0, top = 0, width = 0, height = 0;
    std::uint16_t orientation = 1;
};

// The item's transforms folded into one crop and one orientation. A clean
// aperture that is not whole pixels inside the picture is passed over, as
// browsers pass it over.
HeifPlacement PlacementOf(const PrimaryItem& item);

}  // namespace vrelk
