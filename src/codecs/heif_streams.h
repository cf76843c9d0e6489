// The pictures an HEVC or AV1 stream states for itself, read from its
// headers before any decoder sees it. libde265 and dav1d allocate the size
// the stream states, whatever the container says; a stream that states
// another size than its item's ispe is damaged, and refused before it can
// cost memory or time.
#pragma once

#include <cstdint>
#include <span>

#include "codecs/codec.h"

namespace vrelk {

struct PictureSize {
    std::int64_t width = 0, height = 0;
};

// What decoding one item's stream allocates.
struct StreamPictures {
    std::int64_t width = 0, height = 0;  // the largest picture, as coded (HEVC: before its crop)
    std::uint64_t pixels = 0;            // of all the pictures it decodes together
    bool deep = false;                   // samples of more than 8 bits
};

// The stream libheif hands libde265: the NAL units of the hvcC property
// (its body), then those of the item's data, each after a 4-byte length
// whatever length the hvcC names, as libheif 1.15 reads them. It must hold
// one picture, an IDR picture (a CRA or BLA picture is unsupported:
// libde265 makes up to 16 pictures of its own for its references), and
// its every sequence parameter set must state a picture that crops to
// `shown` and is larger only by the padding to whole coding tree blocks.
// Anything else is damaged, or truncated when a NAL unit runs past the
// item's data.
Result<StreamPictures> CheckHevcStream(std::span<const std::uint8_t> hvcC, std::span<const std::uint8_t> data,
                                       PictureSize shown);

// The stream libheif hands dav1d: the configuration OBUs of the av1C
// property (its body) and the item's data, as one run of OBUs. Every frame
// it decodes must fit `shown` and one must be that size; damaged otherwise,
// or truncated when an OBU runs past the data.
Result<StreamPictures> CheckAv1Stream(std::span<const std::uint8_t> av1C, std::span<const std::uint8_t> data,
                                      PictureSize shown);

}  // namespace vrelk
