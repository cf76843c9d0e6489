#include "picture/picture.h"

#include <limits>
#include <utility>

#include "picture/checked.h"
#include "picture/page_pool.h"
#include "platform/platform.h"

namespace vrelk {

std::int32_t pixelsPerMetre(std::uint32_t numerator, std::uint32_t denominator, DensityUnit unit)
{
    // Metres per unit as a fraction: an inch is 254/10000 m.
    std::uint64_t perUnit = 0;
    std::uint64_t unitsPerMetre = 0;
    switch (unit) {
    case DensityUnit::perInch: perUnit = 254, unitsPerMetre = 10000; break;
    case DensityUnit::perCentimetre: perUnit = 1, unitsPerMetre = 100; break;
    case DensityUnit::perMetre: perUnit = 1, unitsPerMetre = 1; break;
    case DensityUnit::none: return 0;
    }
    if (denominator == 0)
        return 0;
    const std::uint64_t divisor = perUnit * denominator;
    const std::uint64_t rounded = (2 * std::uint64_t{numerator} * unitsPerMetre + divisor) / (2 * divisor);
    return rounded > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()) ? 0 : static_cast<std::int32_t>(rounded);
}

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      pool_(std::exchange(other.pool_, nullptr))
{
}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept
{
    if (this != &other) {
        reset();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        pool_ = std::exchange(other.pool_, nullptr);
    }
    return *this;
}

PageBuffer PageBuffer::allocate(std::size_t size)
{
    // Small buffers are cheap enough fresh, and would only crowd the pool.
    constexpr std::size_t kPooledFrom = std::size_t{1} << 20;
    PageBuffer buffer;
    PagePool* pool = PagePool::current();
    if (pool && size >= kPooledFrom) {
        buffer.data_ = pool->take(size, buffer.capacity_);
        buffer.pool_ = buffer.data_ ? pool : nullptr;
    } else {
        buffer.data_ = static_cast<std::uint8_t*>(platform::allocatePages(size));
    }
    buffer.size_ = buffer.data_ ? size : 0;
    return buffer;
}

void PageBuffer::reset()
{
    if (pool_)
        pool_->give(data_, capacity_);
    else
        platform::freePages(data_, size_);
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
    pool_ = nullptr;
}

RowLayout rowLayout(std::int64_t width, std::int64_t height, int bits)
{
    RowLayout layout;
    switch (bits) {
    case 1: layout.rowBytes = (width + 7) / 8; break;
    case 2: layout.rowBytes = (width + 3) / 4; break;
    case 4: layout.rowBytes = (width + 1) / 2; break;
    case 8: layout.rowBytes = width; break;
    case 24: layout.rowBytes = 3 * width; break;
    case 48: layout.rowBytes = 6 * width; break;
    default: layout.rowBytes = 4 * width; break;
    }
    bool padded = bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 24;
    layout.stride = padded ? (layout.rowBytes + 3) & ~std::int64_t{3} : layout.rowBytes;
    layout.imageSize = layout.stride * height;
    return layout;
}

Result<Picture> allocatePicture(std::int32_t width, std::int32_t height, PixelLayout layout)
{
    if (width < 1 || height < 1)
        return CodecError::damaged;
    if (!dimensionsAllowed(width, height))
        return CodecError::tooLarge;
    const RowLayout rows = rowLayout(width, height, bitsPerPixel(layout));
    Picture picture;
    picture.width = width;
    picture.height = height;
    picture.layout = layout;
    picture.stride = rows.stride;
    picture.pixels = PageBuffer::allocate(static_cast<std::size_t>(rows.imageSize));
    if (!picture.pixels)
        return CodecError::noMemory;
    if (layout == PixelLayout::grey8)
        fillGreyPalette(picture.palette);
    return picture;
}

void fillGreyPalette(Palette& palette)
{
    for (std::size_t i = 0; i < palette.size(); ++i) {
        const auto level = static_cast<std::uint8_t>(i);
        palette[i] = RgbQuad{level, level, level, 0};
    }
}

ImageView viewOf(const Picture& picture)
{
    return ImageView{picture.width, picture.height, picture.bits(), &picture.palette,
                     {picture.pixels.data(), picture.pixels.size()}, picture.meta.iccProfile,
                     picture.meta.exif,  picture.meta.xmp, picture.meta.resolution};
}

}  // namespace vrelk
