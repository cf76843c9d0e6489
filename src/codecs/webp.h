// WebP through libwebp: reading the first picture of any WebP (lossy,
// lossless, with alpha, animated) and writing lossy WebP at a quality or
// within a file-size target.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codecs/byte_cursor.h"
#include "codecs/codec.h"
#include "codecs/size_search.h"
#include "picture/picture.h"
#include "platform/platform.h"
#include "pixel/lookup_tables.h"
#include "platform/worker_slots.h"

namespace vrelk {

// "RIFF", a length, "WEBP": the twelve bytes every WebP file begins with.
inline constexpr std::size_t kWebpSignatureLength = 12;
bool HasWebpSignature(std::span<const std::uint8_t> first);

// Decodes into 24 bits; alpha is composited over white with the blend
// table, as the PNG reader does. An animation gives its first frame on the
// canvas. The profile of a sound ICCP chunk goes with the picture.
// Pictures past the size cap are unsupported, files libwebp refuses are
// bad data. With `keepAlpha` a picture with alpha (or an animation's
// canvas) comes out as bgra32 instead.
Result<Picture> ReadWebp(ByteCursor in, const LookupTables& tables, const ReadLimits& limits = {},
                         bool keepAlpha = false);

// As for JPEG: qualities above the scale fall back to the default, those
// below it are the lowest.
std::int32_t webpQuality(std::int32_t quality);

// The view's colour profile, if any, goes into an ICCP chunk.
Status WriteWebp(const ImageView& image, const platform::Path& path, std::int32_t quality);

// The size search over WebP files: the highest quality whose file, profile
// included, is at most `limit` bytes, else quality 1. Its guessed trials
// run on slots free in `workers`; null lets them always run.
Status WriteWebpWithByteLimit(const ImageView& image, const platform::Path& path, std::int64_t limit,
                              platform::WorkerSlots* workers = nullptr, SizeSearchRecord* record = nullptr);

}  // namespace vrelk
