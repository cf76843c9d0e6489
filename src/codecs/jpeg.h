// JPEG through libjpeg: reading (optionally at a reduced scale), writing at
// a quality or within a file-size target, and the lossless re-encode.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codecs/byte_cursor.h"
#include "codecs/codec.h"
#include "codecs/metadata.h"
#include "codecs/size_search.h"
#include "codecs/quality.h"
#include "picture/picture.h"
#include "platform/platform.h"
#include "pixel/resize.h"
#include "platform/worker_slots.h"

namespace vrelk {

// A progressive file may split its picture into many scans, each one a
// pass over every coefficient; a hostile file with thousands of them would
// keep a decode busy for minutes. Real encoders use about a dozen.
inline constexpr int kJpegMaxScans = 500;

struct JpegReadOptions {
    // With the hint set, the reader decodes at 1/2, 1/4 or 1/8 scale as
    // long as the result stays at least as large as the wanted size in the
    // dimension that limits the reduction.
    bool scaleHint = false;
    std::uint32_t wantedWidth = 0;
    std::uint32_t wantedHeight = 0;
    ReadLimits limits;
};

// Decodes into 8 bits with a grey palette for one component, 24 bits
// otherwise. Sizes or component counts it does not handle are unsupported;
// a file libjpeg gives up on is bad data.
Result<Picture> ReadJpeg(ByteCursor in, const JpegReadOptions& options = {});

// The encoder settings of one write.
struct JpegEncoding {
    std::int32_t quality = kDefaultQuality;
    std::int32_t horizontalSampling = 2;  // of the luminance component
    std::int32_t verticalSampling = 2;
    // A size search starts a guessed trial only on a slot free here; null
    // lets it always guess.
    platform::WorkerSlots* workers = nullptr;
};

// Qualities above the scale fall back to the default; sampling 0 gives 2x2 luminance
// factors, 1 gives 2x1, 2 gives 1x1, anything else 2x2.
JpegEncoding jpegEncoding(std::int32_t quality, std::int32_t sampling);

// Images of another depth than 24 are converted through the palette first.
Status WriteJpeg(const ImageView& image, const platform::Path& path, const JpegEncoding& encoding);

// Writes the highest quality whose file is not larger than the target;
// when none fits, the file at quality 1.
Status WriteJpegWithLimit(const ImageView& image, const platform::Path& path, const JpegEncoding& encoding,
                          std::int32_t kilobytes, SizeSearchRecord* record = nullptr);
Status WriteJpegWithByteLimit(const ImageView& image, const platform::Path& path, const JpegEncoding& encoding,
                              std::int64_t limit, SizeSearchRecord* record = nullptr);

// Rewrites a JPEG from its coefficients with optimised Huffman tables and a
// single sequential scan. Of the input's markers it keeps the orientation
// and the colour profile's segments, nothing else.
// With `keep`, the APP1 segments (Exif, XMP) go along; otherwise only the
// orientation does.
Status RecodeJpeg(ByteCursor in, const platform::Path& output, ImageSize* size = nullptr, const ReadLimits& limits = {},
                  KeepMetadata keep = KeepMetadata::none);

}  // namespace vrelk
