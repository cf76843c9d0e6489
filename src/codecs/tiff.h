// TIFF files through libtiff: the first page of a file in either byte
// order, strips or tiles, interleaved or separate planes, uncompressed or
// compressed with any codec the library was built with. Bilevel, 4-bit,
// 8-bit and 16-bit grey or palette pictures become 8 bits with a palette;
// RGB, CMYK (through its colour profile when it has one) and the layouts
// libtiff's general decode reads become 24 bits; 16-bit samples keep their
// high byte, floating-point ones run from 0 to 1. Alpha is composited over
// white, as for PNG. Pixels stay in the order the file stores them.
#pragma once

#include "codecs/byte_cursor.h"
#include "codecs/codec.h"
#include "pixel/lookup_tables.h"

namespace vrelk {

// unsupported for sizes over the cap, compression this libtiff was built
// without, and layouts neither this reader nor libtiff's general decode
// takes (the plug-ins may); damaged for anything libtiff refuses or cannot
// decode; truncated or notThisFormat for a header that is short or not a
// TIFF's; noMemory when the budget or libtiff's allocation limit cannot
// hold what decoding needs.
// With `keepAlpha` a picture with an alpha sample comes out as bgra32.
Result<Picture> ReadTiff(ByteCursor in, const LookupTables& tables, const ReadLimits& limits = {},
                         bool keepAlpha = false);

}  // namespace vrelk
