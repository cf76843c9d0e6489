#include "codecs/tiff_rows.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

#include "picture/byte_order.h"

namespace vrelk {
namespace {

using BlendTable = decltype(LookupTables::blendTable);

// How one sample is read and brought to 8 bits.
struct Byte {
    static constexpr std::size_t kBytes = 1;
    static std::uint8_t at(const std::uint8_t* p) { return *p; }
};

// 16-bit samples keep their high byte: the second of a little-endian
// sample, the first of a big-endian one.
template <int kHigh>
struct Short {
    static constexpr std::size_t kBytes = 2;
    static std::uint8_t at(const std::uint8_t* p) { return p[kHigh]; }
};

// Floating-point samples run from 0 (black) to 1 (white); anything outside,
// NaN included, is held to that range.
template <bool kLittleEndian>
struct Float {
    static constexpr std::size_t kBytes = 4;
    static std::uint8_t at(const std::uint8_t* p)
    {
        const float value = std::bit_cast<float>(kLittleEndian ? LoadU32LE(p) : LoadU32BE(p));
        const float held = value > 0.0f ? (value < 1.0f ? value : 1.0f) : 0.0f;
        return static_cast<std::uint8_t>(held * 255.0f + 0.5f);
    }
};

void expand1Bit(const std::uint8_t* in, std::uint8_t* out, const TiffRowShape& shape)
{
    for (std::int32_t x = 0; x < shape.width; ++x)
        out[x] = static_cast<std::uint8_t>((in[x >> 3] >> (7 - (x & 7))) & 1);
}

void expand4Bit(const std::uint8_t* in, std::uint8_t* out, const TiffRowShape& shape)
{
    for (std::int32_t x = 0; x < shape.width; ++x)
        out[x] = static_cast<std::uint8_t>((in[x >> 1] >> ((~x & 1) * 4)) & 0x0F);
}

void copy8Bit(const std::uint8_t* in, std::uint8_t* out, const TiffRowShape& shape)
{
    std::memcpy(out, in, static_cast<std::size_t>(shape.width));
}

template <class Sample>
void greyToIndex(const std::uint8_t* in, std::uint8_t* out, const TiffRowShape& shape)
{
    const std::size_t step = shape.samplesPerPixel * Sample::kBytes;
    for (std::int32_t x = 0; x < shape.width; ++x, in += step)
        out[x] = Sample::at(in);
}

template <class Sample>
void rgbToBgr(const std::uint8_t* in, std::uint8_t* out, const TiffRowShape& shape)
{
    constexpr std::size_t k = Sample::kBytes;
    const std::size_t step = shape.samplesPerPixel * k;
    for (std::int32_t x = 0; x < shape.width; ++x, in += step, out += 3) {
        out[0] = Sample::at(in + 2 * k);
        out[1] = Sample::at(in + k);
        out[2] = Sample::at(in);
    }
}

// Plain 8-bit RGB, the usual scan, turned four pixels at a time: the
// compiler makes register shuffles of the fixed twelve-byte block, where
// the loop above moves one byte at a time.
void rgb8ToBgr(const std::uint8_t* in, std::uint8_t* out, const TiffRowShape& shape)
{
    if (shape.samplesPerPixel != 3) {
        rgbToBgr<Byte>(in, out, shape);
        return;
    }
    const std::int32_t blocks = shape.width / 4;
    for (std::int32_t b = 0; b < blocks; ++b, in += 12, out += 12) {
        std::array<std::uint8_t, 12> p;
        std::memcpy(p.data(), in, p.size());
        const std::array<std::uint8_t, 12> q{p[2], p[1], p[0], p[5], p[4],  p[3],
                                             p[8], p[7], p[6], p[11], p[10], p[9]};
        std::memcpy(out, q.data(), q.size());
    }
    rgbToBgr<Byte>(in, out, TiffRowShape{shape.width - blocks * 4, 3, shape.tables});
}

// A colour over white at this alpha: a premultiplied sample already holds
// value * alpha / 255, as the blend table gives it.
template <bool kPremultiplied>
std::uint8_t overWhite(const BlendTable& blend, std::uint8_t value, std::uint8_t alpha)
{
    const int shown = kPremultiplied ? value : blend[alpha][value];
    return static_cast<std::uint8_t>(std::min(shown + blend[255 - alpha][255], 255));
}

template <class Sample, bool kPremultiplied>
void greyAlphaToIndex(const std::uint8_t* in, std::uint8_t* out, const TiffRowShape& shape)
{
    const auto& blend = shape.tables->blendTable;
    const std::size_t step = shape.samplesPerPixel * Sample::kBytes;
    for (std::int32_t x = 0; x < shape.width; ++x, in += step)
        out[x] = overWhite<kPremultiplied>(blend, Sample::at(in), Sample::at(in + Sample::kBytes));
}

template <class Sample, bool kPremultiplied>
void rgbAlphaToBgr(const std::uint8_t* in, std::uint8_t* out, const TiffRowShape& shape)
{
    constexpr std::size_t k = Sample::kBytes;
    const auto& blend = shape.tables->blendTable;
    const std::size_t step = shape.samplesPerPixel * k;
    for (std::int32_t x = 0; x < shape.width; ++x, in += step, out += 3) {
        const std::uint8_t alpha = Sample::at(in + 3 * k);
        out[0] = overWhite<kPremultiplied>(blend, Sample::at(in + 2 * k), alpha);
        out[1] = overWhite<kPremultiplied>(blend, Sample::at(in + k), alpha);
        out[2] = overWhite<kPremultiplied>(blend, Sample::at(in), alpha);
    }
}

template <class Sample>
void cmykToInk(const std::uint8_t* in, std::uint8_t* out, const TiffRowShape& shape)
{
    constexpr std::size_t k = Sample::kBytes;
    const std::size_t step = shape.samplesPerPixel * k;
    for (std::int32_t x = 0; x < shape.width; ++x, in += step, out += 4) {
        for (std::size_t c = 0; c < 4; ++c)
            out[c] = Sample::at(in + c * k);
    }
}

using Fmt = TiffSampleFormat;
using Alpha = TiffAlpha;
constexpr Fmt kInt = Fmt::unsignedInteger;
constexpr Fmt kFloat = Fmt::floatingPoint;
using C = TiffColour;

constexpr std::array<TiffSampleLayout, 25> kLayouts{{
    {C::grey, 1, kInt, Alpha::none, 8, expand1Bit, expand1Bit},
    {C::grey, 4, kInt, Alpha::none, 8, expand4Bit, expand4Bit},
    {C::grey, 8, kInt, Alpha::none, 8, greyToIndex<Byte>, greyToIndex<Byte>},
    {C::grey, 16, kInt, Alpha::none, 8, greyToIndex<Short<1>>, greyToIndex<Short<0>>},
    {C::grey, 32, kFloat, Alpha::none, 8, greyToIndex<Float<true>>, greyToIndex<Float<false>>},
    {C::grey, 8, kInt, Alpha::associated, 8, greyAlphaToIndex<Byte, true>, greyAlphaToIndex<Byte, true>},
    {C::grey, 8, kInt, Alpha::unassociated, 8, greyAlphaToIndex<Byte, false>, greyAlphaToIndex<Byte, false>},
    {C::grey, 16, kInt, Alpha::associated, 8, greyAlphaToIndex<Short<1>, true>, greyAlphaToIndex<Short<0>, true>},
    {C::grey, 16, kInt, Alpha::unassociated, 8, greyAlphaToIndex<Short<1>, false>,
     greyAlphaToIndex<Short<0>, false>},
    {C::palette, 1, kInt, Alpha::none, 8, expand1Bit, expand1Bit},
    {C::palette, 4, kInt, Alpha::none, 8, expand4Bit, expand4Bit},
    {C::palette, 8, kInt, Alpha::none, 8, copy8Bit, copy8Bit},
    {C::rgb, 8, kInt, Alpha::none, 24, rgb8ToBgr, rgb8ToBgr},
    {C::rgb, 16, kInt, Alpha::none, 24, rgbToBgr<Short<1>>, rgbToBgr<Short<0>>},
    {C::rgb, 32, kFloat, Alpha::none, 24, rgbToBgr<Float<true>>, rgbToBgr<Float<false>>},
    {C::rgb, 8, kInt, Alpha::associated, 24, rgbAlphaToBgr<Byte, true>, rgbAlphaToBgr<Byte, true>},
    {C::rgb, 8, kInt, Alpha::unassociated, 24, rgbAlphaToBgr<Byte, false>, rgbAlphaToBgr<Byte, false>},
    {C::rgb, 16, kInt, Alpha::associated, 24, rgbAlphaToBgr<Short<1>, true>, rgbAlphaToBgr<Short<0>, true>},
    {C::rgb, 16, kInt, Alpha::unassociated, 24, rgbAlphaToBgr<Short<1>, false>, rgbAlphaToBgr<Short<0>, false>},
    {C::rgb, 32, kFloat, Alpha::associated, 24, rgbAlphaToBgr<Float<true>, true>, rgbAlphaToBgr<Float<false>, true>},
    {C::rgb, 32, kFloat, Alpha::unassociated, 24, rgbAlphaToBgr<Float<true>, false>,
     rgbAlphaToBgr<Float<false>, false>},
    {C::cmyk, 8, kInt, Alpha::none, 32, cmykToInk<Byte>, cmykToInk<Byte>},
    {C::cmyk, 16, kInt, Alpha::none, 32, cmykToInk<Short<1>>, cmykToInk<Short<0>>},
    {C::grey, 32, kFloat, Alpha::associated, 8, greyAlphaToIndex<Float<true>, true>,
     greyAlphaToIndex<Float<false>, true>},
    {C::grey, 32, kFloat, Alpha::unassociated, 8, greyAlphaToIndex<Float<true>, false>,
     greyAlphaToIndex<Float<false>, false>},
}};

}  // namespace

const TiffSampleLayout* FindTiffLayout(TiffColour colour, std::uint32_t bits, TiffSampleFormat format, TiffAlpha alpha)
{
    for (const TiffSampleLayout& layout : kLayouts) {
        if (layout.colour == colour && layout.bits == bits && layout.format == format && layout.alpha == alpha)
            return &layout;
    }
    return nullptr;
}

void InkToBgr(const std::uint8_t* ink, std::uint8_t* out, std::int32_t width)
{
    for (std::int32_t x = 0; x < width; ++x, ink += 4, out += 3) {
        const unsigned paper = 255u - ink[3];
        out[0] = static_cast<std::uint8_t>((255u - ink[2]) * paper / 255u);
        out[1] = static_cast<std::uint8_t>((255u - ink[1]) * paper / 255u);
        out[2] = static_cast<std::uint8_t>((255u - ink[0]) * paper / 255u);
    }
}

void CompositeAbgrRow(const std::uint32_t* in, std::uint8_t* out, std::int32_t width, const LookupTables& tables)
{
    const auto& blend = tables.blendTable;
    for (std::int32_t x = 0; x < width; ++x, out += 3) {
        const std::uint32_t pixel = in[x];
        const auto alpha = static_cast<std::uint8_t>(pixel >> 24);
        out[0] = overWhite<true>(blend, static_cast<std::uint8_t>(pixel >> 16), alpha);
        out[1] = overWhite<true>(blend, static_cast<std::uint8_t>(pixel >> 8), alpha);
        out[2] = overWhite<true>(blend, static_cast<std::uint8_t>(pixel), alpha);
    }
}

void UnpremultiplyAbgrRow(const std::uint32_t* in, std::uint8_t* out, std::int32_t width)
{
    for (std::int32_t x = 0; x < width; ++x, out += 4) {
        const std::uint32_t pixel = in[x];
        const std::uint32_t alpha = pixel >> 24;
        for (int c = 0; c < 3; ++c) {
            const std::uint32_t value = (pixel >> (16 - 8 * c)) & 0xFF;
            out[c] = alpha == 0 ? 0 : static_cast<std::uint8_t>(std::min<std::uint32_t>((value * 255 + alpha / 2) / alpha, 255));
        }
        out[3] = static_cast<std::uint8_t>(alpha);
    }
}

void TiffRowSink::put(const std::uint8_t* samples)
{
    std::uint8_t* out = image_.pixels.data() + static_cast<std::size_t>(image_.height - 1 - next_) *
                                                   static_cast<std::size_t>(image_.stride);
    ++next_;
    if (!inkRow_) {
        routine_(samples, out, shape_);
        return;
    }
    routine_(samples, inkRow_, shape_);
    if (inkProfile_)
        inkProfile_->convert(inkRow_, out, static_cast<std::size_t>(shape_.width));
    else
        InkToBgr(inkRow_, out, shape_.width);
}

void TiffRowAssembler::feed(std::span<const std::uint8_t> bytes)
{
    const std::size_t rowBytes = partial_.size();
    if (held_ > 0) {
        const std::size_t take = std::min(rowBytes - held_, bytes.size());
        std::memcpy(partial_.data() + held_, bytes.data(), take);
        held_ += take;
        bytes = bytes.subspan(take);
        if (held_ < rowBytes)
            return;
        putRow(partial_.data());
        held_ = 0;
    }
    for (; bytes.size() >= rowBytes && !sink_.full(); bytes = bytes.subspan(rowBytes))
        putRow(bytes.data());
    if (!bytes.empty() && !sink_.full()) {
        std::memcpy(partial_.data(), bytes.data(), bytes.size());
        held_ = bytes.size();
    }
}

void TiffRowAssembler::finish()
{
    if (held_ == 0)
        return;
    std::memset(partial_.data() + held_, 0, partial_.size() - held_);
    putRow(partial_.data());
    held_ = 0;
}

}  // namespace vrelk
