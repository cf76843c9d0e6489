// TIFF files: the reader for the first image of an uncompressed, strip-based
// file in either byte order. Bilevel, 4-bit and 8-bit grey or palette images
// become 8 bits with a palette; 8-bit and 16-bit RGB images become 24 bits.
#pragma once

#include "codecs/codec.h"
#include "platform/platform.h"

namespace vrelk {

// Declared here rather than included so that the engine's read entry can
// use ReadTiffFile beside the older cursor header, whose names clash;
// callers of ReadTiff include codecs/byte_cursor.h.
class ByteCursor;

// unsupported for layouts this reader leaves to the plug-ins (compression,
// separate planes, other depths or sample counts, sizes over the cap);
// badData for damaged structure; cannotOpen when the colour map or a strip
// lies outside the file; noMemory for failed allocations and for files
// without strips.
Result<DibImage> ReadTiff(ByteCursor in);

// Maps the file and reads it; cannotOpen when it cannot be mapped.
Result<DibImage> ReadTiffFile(const platform::Path& path);

}  // namespace vrelk
