// TIFF files: the reader for the first image of an uncompressed, strip-based
// file in either byte order. Bilevel, 4-bit and 8-bit grey or palette images
// become 8 bits with a palette; 8-bit and 16-bit RGB images become 24 bits.
#pragma once

#include "codecs/byte_cursor.h"
#include "codecs/codec.h"

namespace vrelk {

// unsupported for layouts this reader leaves to the plug-ins (compression,
// separate planes, other depths or sample counts, sizes over the cap);
// badData for damaged structure; cannotOpen when the colour map or a strip
// lies outside the file; noMemory for failed allocations and for files
// without strips.
Result<Picture> ReadTiff(ByteCursor in, const ReadLimits& limits = {});

}  // namespace vrelk
