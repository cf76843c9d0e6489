// The state of one pixel-format conversion: layouts, palettes and the
// tables of colour reduction.
#pragma once

#include <array>
#include <cstdint>

#include "picture/picture.h"

namespace vrelk {

struct PixelConverter {
    PixelConverter();
    PixelConverter(const PixelConverter&) = delete;
    PixelConverter& operator=(const PixelConverter&) = delete;

    const RgbQuad* sourcePalette = nullptr;
    RgbQuad* targetPalette = nullptr;
    const std::uint8_t* sourcePixels = nullptr;
    std::uint8_t* targetPixels = nullptr;
    // Sizes are 64-bit: a 25000 x 25000 image at 48 bits exceeds 32 bits.
    std::int64_t rowBytes = 0;
    std::int64_t stride = 0;
    std::int64_t imageSize = 0;
    std::int64_t workStride = 0;
    PageBuffer workPixels;
    PageBuffer scratch;
    std::array<std::int32_t, 511> squares{};
    std::array<std::uint8_t, 768> clamp{};
    std::array<std::int32_t, 511> errorShare1{};
    std::array<std::int32_t, 511> errorShare3{};
    std::array<std::int32_t, 511> errorShare5{};
    std::array<std::int32_t, 511> errorShare7{};
    // Each points at entry 0 of its table so that indices -255..255 work.
    std::int32_t* share1 = nullptr;
    std::int32_t* share3 = nullptr;
    std::int32_t* share5 = nullptr;
    std::int32_t* share7 = nullptr;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t sourceBits = 0;
    std::int32_t targetBits = 0;
    std::int32_t* squaresReady = nullptr;

    // Stores rowBytes, stride and imageSize for width, height and targetBits.
    void computeLayout();
};

}  // namespace vrelk
