// JPEG through libjpeg: reading (optionally at a reduced scale), writing at
// a quality or within a file-size target, and the lossless re-encode.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "pixel/image.h"

namespace vrelk {

inline constexpr std::int32_t kJpegMaxDimension = 25000;

struct JpegReader : CodecObject {
    // With the hint set, the reader decodes at 1/2, 1/4 or 1/8 scale as
    // long as the result stays at least as large as the wanted size in the
    // dimension that limits the reduction.
    bool scaleHint = false;
    std::uint32_t wantedWidth = 0;
    std::uint32_t wantedHeight = 0;

    void resetForRead();
};

struct JpegWriter : CodecObject {
    std::int32_t quality = 75;
    std::int32_t horizontalSampling = 2;  // of the luminance component
    std::int32_t verticalSampling = 2;
    PageBuffer converted;  // 24-bit copy of an image of another depth
    // What the last size-limited write tried and wrote.
    std::vector<std::int32_t> qualitiesTried;
    std::int32_t writtenQuality = 0;

    void resetForWrite();
};

struct JpegRecoder : CodecObject {};

// Decodes into reader.image: 8 bits with a grey palette for one component,
// 24 bits otherwise. Null on failure (errorCode 4: cannot map, 2: size or
// component count not handled, 1: no memory; a library error leaves 0).
DibImage* ReadJpeg(JpegReader& reader, const platform::Path& path);
void ReleaseJpegReader(JpegReader& reader);

// Qualities above 100 fall back to 75; sampling 0 gives 2x2 luminance
// factors, 1 gives 2x1, 2 gives 1x1, anything else 2x2.
void SetJpegOptions(JpegWriter& writer, std::int32_t quality, std::int32_t sampling);

// The writer's PixelConverter holds width, height and sourceBits; pixels of
// another depth than 24 are converted through the palette first.
bool EncodeJpeg(JpegWriter& writer, const platform::Path& path, const Palette& palette,
                std::span<const std::uint8_t> pixels);
// The same into memory; `length` receives the encoded size.
bool EncodeJpegToMemory(JpegWriter& writer, const Palette& palette, std::span<const std::uint8_t> pixels,
                        std::vector<std::uint8_t>& buffer, std::size_t& length);

// Writes the highest quality whose file is not larger than the target,
// searched from 100 down; when none fits, the file at quality 1.
bool WriteJpegWithLimit(JpegWriter& writer, const platform::Path& path, const Palette& palette,
                        std::span<const std::uint8_t> pixels, std::int32_t kilobytes);
bool WriteJpegWithByteLimit(JpegWriter& writer, const platform::Path& path, const Palette& palette,
                            std::span<const std::uint8_t> pixels, std::int64_t limit);

// The qualities the size search visits. `encodeAt` encodes at a quality,
// stores the length and returns false on failure. Returns the quality
// whose encoding is to be written: the last one that fitted, or the last
// one tried when none did; 0 when an encoding failed.
using JpegTrial = std::function<bool(std::int32_t quality, std::size_t& length)>;
std::int32_t SearchJpegQuality(std::int64_t limit, const JpegTrial& encodeAt);

void ReleaseJpegWriter(JpegWriter& writer);

// Rewrites a JPEG from its coefficients with optimised Huffman tables, no
// markers of the input and a single sequential scan.
bool RecodeJpeg(JpegRecoder& recoder, const platform::Path& input, const platform::Path& output);
void ReleaseJpegRecoder(JpegRecoder& recoder);

}  // namespace vrelk
