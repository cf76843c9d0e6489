// Full-range BT.601 Y'CbCr 4:2:0 of a 24-bit picture, the form AV1
// output encodes: luma for every pixel, chroma for each 2 x 2 block from
// the block's average colour (a lone row or column is doubled).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vrelk {

// Planes top row first; each holds `rows` rows of `stride` bytes.
struct Yuv420Planes {
    std::span<std::uint8_t> y, cb, cr;
    std::size_t lumaStride = 0;
    std::size_t chromaStride = 0;
};

// Fills the planes from the `width` x `height` bottom-up blue-green-red
// rows (`stride` bytes apart), on the current picture's lent cores.
// False, with nothing written, when a plane is too small for the picture.
bool BgrToYuv420(std::int32_t width, std::int32_t height, const std::uint8_t* bgr, std::size_t stride,
                 const Yuv420Planes& planes);

}  // namespace vrelk
