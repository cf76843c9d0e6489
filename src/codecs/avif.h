// AVIF output through libheif's AV1 encoder (libaom): 8-bit 4:2:0 at a
// quality or within a file-size target.
#pragma once

#include <cstdint>

#include "codecs/codec.h"
#include "codecs/size_search.h"
#include "picture/picture.h"
#include "platform/platform.h"
#include "platform/worker_slots.h"

namespace vrelk {

// libaom's speed (cpu-used) for every AVIF written: avifenc's and
// heif-enc's default, where a photo takes no longer than with either.
inline constexpr int kAvifSpeed = 6;
// The most threads one encoding asks libaom for (libheif's own bound).
inline constexpr int kAvifMostThreads = 16;

// False when the libheif at hand has no AV1 encoder: AVIF output then
// fails as unsupported.
bool CanWriteAvif();

// The quality goes to libheif as heif-enc -q gives it; qualities beyond
// the scale are treated as for JPEG. The view's colour profile is kept.
// Besides the thread of its caller, the encoder runs on as many slots as
// are free in `workers` (null: on every core), giving them back at its end;
// its file is the same however many it finds.
Status WriteAvif(const ImageView& image, const platform::Path& path, std::int32_t quality,
                 platform::WorkerSlots* workers = nullptr);

// The size search over AVIF files: the best of libaom's 64 quantiser
// levels whose file, profile included, is at most `limit` bytes, else the
// coarsest. The record counts levels, 64 the finest.
Status WriteAvifWithByteLimit(const ImageView& image, const platform::Path& path, std::int64_t limit,
                              platform::WorkerSlots* workers = nullptr, SizeSearchRecord* record = nullptr);

}  // namespace vrelk
