#include "codecs/codec.h"

#include "pixel/checked.h"

namespace vrelk {

std::string_view describe(CodecError error)
{
    switch (error) {
    case CodecError::noMemory: return "out of memory";
    case CodecError::unsupported: return "unsupported variant or size";
    case CodecError::cannotOpen: return "cannot open";
    case CodecError::cannotCreate: return "cannot create the output";
    case CodecError::writeFailed: return "write failed";
    case CodecError::pngZlib:
    case CodecError::pngDeflate: return "compression failed";
    default: return "damaged file";
    }
}

Result<DibImage> allocateImage(std::int32_t width, std::int32_t height, int bits, FormatCode source)
{
    if (!dimensionsAllowed(width, height))
        return CodecError::unsupported;
    const RowLayout layout = rowLayout(width, height, bits);
    DibImage image;
    image.header = makeBitmapHeader(width, height, bits, 0, 0);
    image.sourceFormat = source;
    image.pixels = PageBuffer::allocate(static_cast<std::size_t>(layout.imageSize));
    if (!image.pixels)
        return CodecError::noMemory;
    return image;
}

}  // namespace vrelk
