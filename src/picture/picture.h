// The decoded picture every reader gives and every writer takes: its size,
// what each pixel holds, the pixels, and what the file said about them
// besides (colour profile, Exif, XMP, resolution, orientation).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "picture/status.h"

namespace vrelk {

struct RgbQuad {
    std::uint8_t rgbBlue = 0;
    std::uint8_t rgbGreen = 0;
    std::uint8_t rgbRed = 0;
    std::uint8_t rgbReserved = 0;
};
static_assert(sizeof(RgbQuad) == 4);

using Palette = std::array<RgbQuad, 256>;

// What one pixel holds. Rows are bottom-up, each padded to whole 32-bit
// words; palette indices pack the leftmost pixel into the highest bits and
// colour pixels store blue, green, red. A grey picture also has the grey
// ramp as its palette, so that code reading through the palette sees it.
// bgra32 adds to blue, green, red an alpha that does not scale them; it is
// only made when transparency is to be kept.
enum class PixelLayout : std::uint8_t { palette1, palette4, palette8, grey8, bgr24, bgra32 };

constexpr int bitsPerPixel(PixelLayout layout)
{
    constexpr std::array<int, 6> kBits{1, 4, 8, 8, 24, 32};
    return kBits[static_cast<std::size_t>(layout)];
}

// The layout of a depth that a plug-in or a BMP states; 8 bits is a palette.
constexpr PixelLayout layoutOfBits(int bits)
{
    return bits == 1 ? PixelLayout::palette1 : bits == 4 ? PixelLayout::palette4
                                           : bits == 8 ? PixelLayout::palette8
                                                       : PixelLayout::bgr24;
}

class PagePool;

// Zero-filled pixel memory from the page allocator, or from the calling
// thread's page pool when it has one, returned on destruction.
class PageBuffer {
public:
    PageBuffer() = default;
    PageBuffer(PageBuffer&& other) noexcept;
    PageBuffer& operator=(PageBuffer&& other) noexcept;
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    ~PageBuffer() { reset(); }

    // An empty buffer when the size is 0 or the allocation fails.
    static PageBuffer allocate(std::size_t size);

    std::uint8_t* data() { return data_; }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    explicit operator bool() const { return data_ != nullptr; }
    void reset();

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;  // of the pool's block
    PagePool* pool_ = nullptr;
};

// Work memory that reports exhaustion as null, as the codecs expect,
// instead of throwing.
template <class T>
std::unique_ptr<T> tryAllocate()
{
    return std::unique_ptr<T>(new (std::nothrow) T);
}

template <class T, class First, class... Rest>
std::unique_ptr<T> tryAllocate(First&& first, Rest&&... rest)
{
    return std::unique_ptr<T>(new (std::nothrow) T(std::forward<First>(first), std::forward<Rest>(rest)...));
}

template <class T>
std::unique_ptr<T[]> tryAllocateArray(std::size_t count)
{
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]());
}

struct RowLayout {
    std::int64_t rowBytes = 0;
    std::int64_t stride = 0;
    std::int64_t imageSize = 0;
};

// Row size and stride for a width and bit depth; 1..24-bit rows are padded
// to multiples of 4 bytes, 48-bit and other rows are not.
RowLayout rowLayout(std::int64_t width, std::int64_t height, int bits);

// The unit a file states its resolution in.
enum class DensityUnit { none, perInch, perCentimetre, perMetre };

// Pixels per metre from numerator/denominator dots per unit, to the nearest
// whole number, halves up. Worked in integers: the quotient of an inch is
// not exact in binary, and the 32-bit Windows build may keep doubles at
// extended precision, so a value near a half could round one way there and
// the other natively. 0 without a unit, for a zero denominator, and for
// values a header cannot hold.
std::int32_t pixelsPerMetre(std::uint32_t numerator, std::uint32_t denominator, DensityUnit unit);

// A resolution in pixels per metre, and the unit the file gave it in (a
// unit of none with values is an aspect ratio only). Integer dots per inch
// or centimetre come back exactly from these.
struct Resolution {
    std::int32_t xPerMetre = 0;
    std::int32_t yPerMetre = 0;
    DensityUnit unit = DensityUnit::none;
};

// What a file says about its pixels besides them, as it said it.
struct PictureMeta {
    std::vector<std::uint8_t> iccProfile;  // empty means sRGB
    std::vector<std::uint8_t> exif;        // the TIFF structure, without a header
    std::vector<std::uint8_t> xmp;
    Resolution resolution;
    std::uint16_t orientation = 1;  // the file's Exif orientation, 1..8
    // The pixels are shown as the Exif orientation asks (a JPEG turned on
    // reading), or the container's own turns replace it (HEIF).
    bool shownUpright = false;
};

struct Picture {
    std::int32_t width = 0;
    std::int32_t height = 0;
    PixelLayout layout = PixelLayout::bgr24;
    std::int64_t stride = 0;
    PageBuffer pixels;
    Palette palette{};
    PictureMeta meta;

    int bits() const { return bitsPerPixel(layout); }
};

// A zero-filled picture of width x height. Sizes outside 1..kMaxDimension
// are unsupported.
Result<Picture> allocatePicture(std::int32_t width, std::int32_t height, PixelLayout layout);

// Fills the palette with the grey ramp of a grey picture.
void fillGreyPalette(Palette& palette);

// What a writer is given: a picture's pixels in the layout above and the
// profile it should embed (empty for none).
struct ImageView {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bitCount = 0;
    const Palette* palette = nullptr;
    std::span<const std::uint8_t> pixels;
    std::span<const std::uint8_t> iccProfile{};
    std::span<const std::uint8_t> exif{};  // the TIFF structure
    std::span<const std::uint8_t> xmp{};
    Resolution resolution{};  // written only when its unit is known
};

ImageView viewOf(const Picture& picture);

}  // namespace vrelk
