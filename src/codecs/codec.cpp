#include "codecs/codec.h"

#include <array>

#include "picture/checked.h"
#include "pixel/bit_depth.h"

namespace vrelk {

std::string_view describe(CodecError error)
{
    struct Words {
        CodecError error;
        std::string_view text;
    };
    static constexpr std::array<Words, 28> kWords{{
        {CodecError::noMemory, "out of memory"},
        {CodecError::unsupported, "unsupported variant"},
        {CodecError::notThisFormat, "not of its format"},
        {CodecError::cannotOpen, "cannot open"},
        {CodecError::cannotCreate, "cannot create the output"},
        {CodecError::damaged, "damaged file"},
        {CodecError::cannotWrite, "write failed"},
        {CodecError::truncated, "truncated file"},
        {CodecError::tooLarge, "too large"},
        {CodecError::pngBadCrc, "damaged file (a checksum does not match)"},
        {CodecError::pngChunkTooLong, "damaged file (a chunk longer than the file)"},
        {CodecError::pngHeaderLength, "damaged file (no header)"},
        {CodecError::pngHeaderMissing, "damaged file (no header)"},
        {CodecError::pngBadColourType, "damaged file (an impossible header value)"},
        {CodecError::pngBadBitDepth, "damaged file (an impossible header value)"},
        {CodecError::pngBadCompression, "damaged file (an impossible header value)"},
        {CodecError::pngBadFilterMethod, "damaged file (an impossible header value)"},
        {CodecError::pngBadInterlace, "damaged file (an impossible header value)"},
        {CodecError::pngChunkOrder, "damaged file (chunks out of order)"},
        {CodecError::pngMissingData, "truncated file (no image data)"},
        {CodecError::pngBrokenDataRun, "damaged file (image data interrupted)"},
        {CodecError::pngZlib, "compression failed"},
        {CodecError::pngDeflate, "compression failed"},
        {CodecError::nameTooLong, "name too long"},
        {CodecError::symlinkLoop, "too many levels of symbolic links"},
        {CodecError::noSpace, "no space left on the device"},
        {CodecError::badSizeSetting, "the size setting (RszSize) is below 1"},
    }};
    for (const Words& words : kWords)
        if (words.error == error)
            return words.text;
    return "damaged file";
}

bool ResizeWithoutThrowing(std::vector<std::uint8_t>& buffer, std::size_t size)
{
    return withoutExceptions([&] { return (buffer.resize(size), Status{}); }).ok();
}

Result<const std::uint8_t*> Pixels24(const ImageView& image, PageBuffer& converted)
{
    if (image.width < 1 || image.height < 1)
        return CodecError::unsupported;
    const RowLayout source = rowLayout(image.width, image.height, image.bitCount);
    if (!image.palette || image.pixels.size() < static_cast<std::uint64_t>(source.imageSize))
        return CodecError::cannotWrite;
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
        return CodecError::cannotWrite;
    return static_cast<const std::uint8_t*>(converted.data());
}

}  // namespace vrelk
