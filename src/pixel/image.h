// The decoded-image record shared by every reader and writer, the pixel
// converter state, the codec base and the process's current image.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "platform/platform.h"

namespace vrelk {

// Windows BITMAPINFOHEADER; the BMP codec writes it to files as it stands.
struct BitmapInfoHeader {
    std::uint32_t biSize = 40;
    std::int32_t biWidth = 0;
    std::int32_t biHeight = 0;
    std::uint16_t biPlanes = 1;
    std::uint16_t biBitCount = 0;
    std::uint32_t biCompression = 0;
    std::uint32_t biSizeImage = 0;
    std::int32_t biXPelsPerMeter = 0;
    std::int32_t biYPelsPerMeter = 0;
    std::uint32_t biClrUsed = 0;
    std::uint32_t biClrImportant = 0;
};
static_assert(sizeof(BitmapInfoHeader) == 40);

struct RgbQuad {
    std::uint8_t rgbBlue = 0;
    std::uint8_t rgbGreen = 0;
    std::uint8_t rgbRed = 0;
    std::uint8_t rgbReserved = 0;
};
static_assert(sizeof(RgbQuad) == 4);

using Palette = std::array<RgbQuad, 256>;

// The header of a decoded image: no compression, no sizes, no colour counts.
constexpr BitmapInfoHeader makeBitmapHeader(std::int32_t width, std::int32_t height, int bitCount,
                                            std::int32_t xPelsPerMeter, std::int32_t yPelsPerMeter)
{
    BitmapInfoHeader h;
    h.biWidth = width;
    h.biHeight = height;
    h.biBitCount = static_cast<std::uint16_t>(bitCount);
    h.biXPelsPerMeter = xPelsPerMeter;
    h.biYPelsPerMeter = yPelsPerMeter;
    return h;
}

// The unit of a resolution a file states.
enum class DensityUnit { none, perInch, perCentimetre };

// Pixels per metre from numerator/denominator dots per unit, to the nearest
// whole number, halves up. Worked in integers: the quotient of an inch is
// not exact in binary, and the 32-bit Windows build may keep doubles at
// extended precision, so a value near a half could round one way there and
// the other natively. 0 without a unit, for a zero denominator, and for
// values a header cannot hold.
std::int32_t pixelsPerMetre(std::uint32_t numerator, std::uint32_t denominator, DensityUnit unit);

// Zero-filled pixel memory from the page allocator, returned on destruction.
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
};

// Work memory that reports exhaustion as null, as the codecs expect,
// instead of throwing.
template <class T>
std::unique_ptr<T> tryAllocate()
{
    return std::unique_ptr<T>(new (std::nothrow) T);
}

template <class T>
std::unique_ptr<T[]> tryAllocateArray(std::size_t count)
{
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]());
}

// Which reader produced an image; also the result of sniffing a file.
enum FormatCode : std::int32_t {
    kFormatUnknown = 0,
    kFormatBmp = 1,
    kFormatPng = 2,
    kFormatJpeg = 3,
    kFormatTiff = 4,
    kFormatGif = 5,
    kFormatTooShort = 6,
    kFormatWebp = 7,
    kFormatHeif = 8,  // HEIC and AVIF
};

// A decoded image: rows bottom-up, 8 bits with the palette or 24 bits BGR.
struct DibImage {
    BitmapInfoHeader header;
    Palette palette{};
    std::int32_t sourceFormat = kFormatUnknown;
    PageBuffer pixels;
    // The embedded colour profile as the file holds it; empty means sRGB.
    std::vector<std::uint8_t> iccProfile;
};

// What a writer is given: an image in the standard layout of its depth.
struct ImageView {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bitCount = 0;
    const Palette* palette = nullptr;
    std::span<const std::uint8_t> pixels;
    // A profile for the writer to embed; empty for none.
    std::span<const std::uint8_t> iccProfile{};
};

struct RowLayout {
    std::int64_t rowBytes = 0;
    std::int64_t stride = 0;
    std::int64_t imageSize = 0;
};

// Row size and stride for a width and bit depth; 1..24-bit rows are padded
// to multiples of 4 bytes, 48-bit and other rows are not.
RowLayout rowLayout(std::int64_t width, std::int64_t height, int bits);

// State of one pixel-format conversion.
struct PixelConverter {
    PixelConverter();
    PixelConverter(const PixelConverter&) = delete;
    PixelConverter& operator=(const PixelConverter&) = delete;

    const RgbQuad* sourcePalette = nullptr;
    RgbQuad* targetPalette = nullptr;
    const std::uint8_t* sourcePixels = nullptr;
    std::uint8_t* targetPixels = nullptr;
    // Sizes are 64-bit: a 25000 x 25000 image at 48 bits exceeds 32 bits.
    std::int64_t rowBytes = 0;
    std::int64_t stride = 0;
    std::int64_t imageSize = 0;
    std::int64_t workStride = 0;
    PageBuffer workPixels;
    PageBuffer scratch;
    std::array<std::int32_t, 511> squares{};
    std::array<std::uint8_t, 768> clamp{};
    std::array<std::int32_t, 511> errorShare1{};
    std::array<std::int32_t, 511> errorShare3{};
    std::array<std::int32_t, 511> errorShare5{};
    std::array<std::int32_t, 511> errorShare7{};
    // Each points at entry 0 of its table so that indices -255..255 work.
    std::int32_t* share1 = nullptr;
    std::int32_t* share3 = nullptr;
    std::int32_t* share5 = nullptr;
    std::int32_t* share7 = nullptr;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t sourceBits = 0;
    std::int32_t targetBits = 0;
    std::int32_t* squaresReady = nullptr;

    // Stores rowBytes, stride and imageSize for width, height and targetBits.
    void computeLayout();
};

// The image being processed; its geometry is the authority once set.
struct CurrentImage {
    DibImage* image = nullptr;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bitCount = 0;
};

}  // namespace vrelk
