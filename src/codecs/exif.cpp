#include "codecs/exif.h"

#include <algorithm>
#include <optional>

#include "codecs/byte_cursor.h"

namespace vrelk {
namespace {

constexpr std::array<std::uint8_t, 6> kExifHeader{'E', 'x', 'i', 'f', 0, 0};
constexpr std::uint16_t kOrientationTag = 0x0112;
constexpr std::uint16_t kTypeShort = 3;

std::optional<ByteOrderReaders> byteOrderOf(ByteCursor& tiff)
{
    auto mark = tiff.take(4);
    if (!mark)
        return std::nullopt;
    const std::uint8_t* m = mark->data();
    if (m[0] == 'I' && m[1] == 'I' && m[2] == 42 && m[3] == 0)
        return kLittleEndianReaders;
    if (m[0] == 'M' && m[1] == 'M' && m[2] == 0 && m[3] == 42)
        return kBigEndianReaders;
    return std::nullopt;
}

// Orientation lives in the first directory, so no chain of directories is
// followed and a loop of them cannot matter.
std::optional<ExifOrientation> readOrientation(ByteCursor tiff)
{
    auto order = byteOrderOf(tiff);
    if (!order)
        return std::nullopt;
    auto first = order->u32(tiff);
    if (!first || !tiff.seek(*first))
        return std::nullopt;
    auto count = order->u16(tiff);
    if (!count)
        return std::nullopt;
    for (std::uint16_t i = 0; i < *count; ++i) {
        auto tag = order->u16(tiff);
        auto type = order->u16(tiff);
        auto values = order->u32(tiff);
        auto value = order->u16(tiff);
        if (!tag || !type || !values || !value || !tiff.skip(2))
            return std::nullopt;
        if (*tag == kOrientationTag)
            return *type == kTypeShort && *values == 1 ? std::optional(*value) : std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

bool isExifSegment(std::span<const std::uint8_t> app1)
{
    return app1.size() >= kExifHeader.size() && std::equal(kExifHeader.begin(), kExifHeader.end(), app1.begin());
}

ExifOrientation orientationFromExif(std::span<const std::uint8_t> app1)
{
    if (!isExifSegment(app1))
        return kUpright;
    auto orientation = readOrientation(ByteCursor(app1.subspan(kExifHeader.size())));
    return orientation && *orientation >= 1 && *orientation <= 8 ? *orientation : kUpright;
}

std::array<std::uint8_t, 32> exifWithOrientation(ExifOrientation orientation)
{
    const auto value = static_cast<std::uint8_t>(orientation);
    return {'E', 'x', 'i', 'f', 0, 0,                   // APP1 identifier
            'M', 'M', 0, 42, 0, 0, 0, 8,                // big-endian TIFF header, first directory at 8
            0, 1,                                       // one entry
            0x01, 0x12, 0, kTypeShort, 0, 0, 0, 1, 0, value, 0, 0,  // Orientation, SHORT, 1 value
            0, 0, 0, 0};                                // no further directory
}

}  // namespace vrelk
