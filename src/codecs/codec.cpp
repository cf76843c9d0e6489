#include "codecs/codec.h"

#include "picture/checked.h"
#include "pixel/bit_depth.h"

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

Result<const std::uint8_t*> Pixels24(const ImageView& image, PageBuffer& converted)
{
    if (image.width < 1 || image.height < 1)
        return CodecError::unsupported;
    const RowLayout source = rowLayout(image.width, image.height, image.bitCount);
    if (!image.palette || image.pixels.size() < static_cast<std::uint64_t>(source.imageSize))
        return CodecError::writeFailed;
    if (image.bitCount == 24)
        return image.pixels.data();

    PixelConverter converter;
    converter.width = image.width;
    converter.height = image.height;
    converter.sourceBits = image.bitCount;
    converter.targetBits = 24;
    converter.computeLayout();
    converted = PageBuffer::allocate(static_cast<std::size_t>(converter.imageSize));
    if (!converted)
        return CodecError::noMemory;
    if (!convertPixels(nullptr, converted.data(), converter, image.palette->data(), image.pixels.data()))
        return CodecError::writeFailed;
    return static_cast<const std::uint8_t*>(converted.data());
}

}  // namespace vrelk
