// The encoding step of the JPEG writer, shared by the plain write and the
// size search: what one encoding works with, where it goes, and the
// component planes the search builds once. Only the JPEG writer's sources
// include this.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codecs/codec.h"
#include "codecs/files.h"
#include "codecs/jpeg.h"
#include "picture/picture.h"

namespace vrelk {

// ---- Component planes -------------------------------------------------------
//
// The picture as libjpeg's colour converter and downsampler hand it to the
// DCT: Y, Cb and Cr at their sampled sizes, padded to whole blocks on the
// right and whole iMCU rows at the bottom by repeating the last sample. The
// arithmetic is libjpeg's own (16-bit fixed point, and the alternating
// rounding bias of its downsamplers), so an encoding fed these planes is
// byte for byte the encoding fed the pixels. The size search builds them
// once instead of once per trial.

struct ComponentPlanes {
    std::array<std::vector<std::uint8_t>, 3> samples;
    std::array<std::size_t, 3> width{};  // padded, in samples
    std::array<std::size_t, 3> height{};  // padded, in rows
    int rowsPerImcu = 8;                  // of the luminance plane

    const std::uint8_t* row(std::size_t component, std::size_t y) const
    {
        return samples[component].data() + std::min(y, height[component] - 1) * width[component];
    }
};

// Fills `planes` for the 24-bit bottom-up `pixels`; false when memory runs
// out for them.
bool buildPlanes(std::int32_t imageWidth, std::int32_t imageHeight, const std::uint8_t* pixels,
                 const JpegEncoding& encoding, ComponentPlanes& planes);

// What one encoding works with: the pixels, and their component planes
// when the caller built them.
struct JpegJob {
    std::int32_t width;
    std::int32_t height;
    const std::uint8_t* pixels;  // 24-bit rows
    JpegEncoding encoding;
    const ComponentPlanes* planes = nullptr;
    std::span<const std::uint8_t> iccProfile{};
    std::span<const std::uint8_t> exif{};
    std::span<const std::uint8_t> xmp{};
    Resolution resolution{};
};

// Where an encoding goes: a file, or a growing memory buffer, where it may
// be stopped once longer than `stopAfter`. A trial of the size search may
// also be cancelled, and tells how far its output pass got when stopped.
struct JpegOutput {
    OutputFile* file = nullptr;
    std::vector<std::uint8_t>* memory = nullptr;
    std::size_t* length = nullptr;
    std::size_t stopAfter = SIZE_MAX;
    bool* stopped = nullptr;
    const std::atomic<bool>* cancel = nullptr;
    double* outputDone = nullptr;
};

// One whole encoding; false when libjpeg gave it up, which includes a
// trial stopped past its target or cancelled.
bool encodeJpeg(const JpegJob& job, const JpegOutput& output);

}  // namespace vrelk
