// Every codec object and work record of one batch, created when the batch
// starts and reused for each of its files.
#pragma once

#include <memory>

#include "codecs/bmp.h"
#include "codecs/jpeg.h"
#include "codecs/png.h"
#include "pixel/image.h"
#include "pixel/lookup_tables.h"
#include "pixel/resize.h"

namespace vrelk {

// What the plug-in host keeps between its calls for one file.
struct PluginState {
    bool noHandlesOwned = true;
    bool pixelsInPages = false;
    std::int32_t startOffset = 0;
    DibImage image;
};

struct CodecSet {
    std::unique_ptr<LookupTables> tables;
    PixelConverter converter24;
    ResizeJob resizeJob;
    FilterJob filterJob;
    BmpReader bmpReader;
    BmpWriter bmpWriter;
    PngReader pngReader;
    PngWriter pngWriter;
    JpegReader jpegReader;
    JpegWriter jpegWriter;
    JpegRecoder jpegRecoder;
    CodecObject tiffReader;
    CodecObject gifReader;
    CodecObject gifWriter;
    PluginState plugins;
};

// Null when memory runs out.
std::unique_ptr<CodecSet> AllocateCodecSet();

}  // namespace vrelk
