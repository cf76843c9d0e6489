// GIF files: the reader (the first image of a GIF87a or GIF89a file, placed
// on its logical screen) and the writer (one GIF89a image with a global
// colour table).
#pragma once

#include "codecs/byte_cursor.h"
#include "codecs/codec.h"
#include "picture/picture.h"
#include "platform/platform.h"

namespace vrelk {

// An 8-bit image of the logical screen's size: the background index around
// the first image, a transparent index shown in the background colour.
// With `keepAlpha` a picture showing the transparent index comes out as
// bgra32, those pixels transparent.
Result<Picture> ReadGif(ByteCursor in, const ReadLimits& limits = {}, bool keepAlpha = false);

// Writes 1, 2, 4, 8, 24 or 32-bit images. Paletted images keep their depth
// as the size of the colour table; 24-bit images are reduced to 256
// colours, and so are bgra32 ones over white, with one index left for
// their pixels of alpha 0.
Status WriteGif(const ImageView& image, const platform::Path& path);

}  // namespace vrelk
