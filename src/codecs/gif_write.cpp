#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <optional>

#include "codecs/files.h"
#include "codecs/gif.h"
#include "codecs/gif_lzw.h"
#include "picture/checked.h"
#include "pixel/colour_reduce.h"
#include "pixel/bit_depth.h"

namespace vrelk {
namespace gif {
namespace {

// Each dictionary string is its prefix's string and one byte more, and no
// string is entered twice, so the code of "prefix + byte" is all a lookup
// needs: one table slot per (prefix code, byte), filled as entries are added
// and emptied again at each clear. A flat area's long runs then cost one
// probe per pixel however many strings end in the same two bytes.
class LzwEncoder {
public:
    LzwEncoder(int codeSize, std::span<std::uint8_t> out, std::uint16_t* children)
        : out_(out), children_(children)
    {
        initialiseDictionary(dictionary_, codeSize);
        width_ = dictionary_.initialWidth;
        next_ = dictionary_.firstFree;
    }

    std::size_t encode(std::span<const std::uint8_t> indices)
    {
        emit(dictionary_.clearCode);
        int current = indices[0];
        const std::size_t last = indices.size() - 1;
        for (std::size_t i = 1; i <= last; ++i) {
            const std::uint8_t byte = indices[i];
            if (i != last) {
                if (const int found = children_[slot(current, byte)]) {
                    current = found;
                    continue;
                }
            }
            emit(current);
            if (next_ == kMaxCodes) {
                emit(dictionary_.clearCode);
                restart();
            } else {
                if (width_ < kMaxCodeWidth && next_ > (1 << width_) - 1)
                    ++width_;
                add(current, byte);
            }
            current = byte;
        }
        emit(current);
        emit(dictionary_.endCode);
        out_[position_++] = static_cast<std::uint8_t>(accumulator_);
        return position_;
    }

private:
    static std::size_t slot(int prefix, std::uint8_t byte) { return static_cast<std::size_t>(prefix) << 8 | byte; }

    void restart()
    {
        for (int code = dictionary_.firstFree; code < next_; ++code) {
            const LzwEntry& entry = dictionary_.entries[static_cast<std::size_t>(code)];
            children_[slot(entry.prefix, entry.last)] = 0;
        }
        width_ = dictionary_.initialWidth;
        next_ = dictionary_.firstFree;
    }

    void emit(int code)
    {
        accumulator_ |= static_cast<std::uint32_t>(code) << bits_;
        bits_ += width_;
        while (bits_ >= 8) {
            out_[position_++] = static_cast<std::uint8_t>(accumulator_);
            accumulator_ >>= 8;
            bits_ -= 8;
        }
    }

    void add(int current, std::uint8_t byte)
    {
        const LzwEntry& prefix = dictionary_.entries[static_cast<std::size_t>(current)];
        LzwEntry& entry = dictionary_.entries[static_cast<std::size_t>(next_)];
        entry.last = byte;
        entry.prefix = static_cast<std::uint16_t>(current);
        entry.length = static_cast<std::uint16_t>(prefix.length + 1);
        children_[slot(current, byte)] = static_cast<std::uint16_t>(next_);
        ++next_;
    }

    std::span<std::uint8_t> out_;
    std::uint16_t* children_;  // kMaxCodes x 256 codes, 0 where no entry extends
    LzwDictionary dictionary_;
    int width_ = 0;
    int next_ = 0;
    std::size_t position_ = 0;
    std::uint32_t accumulator_ = 0;
    int bits_ = 0;
};

}  // namespace

std::size_t encodeLzw(std::span<const std::uint8_t> indices, int codeSize, std::span<std::uint8_t> out)
{
    if (indices.empty() || out.size() < encodedBound(indices.size()))
        return 0;
    auto children = tryAllocateArray<std::uint16_t>(std::size_t{kMaxCodes} * 256);
    if (!children)
        return 0;
    return LzwEncoder(codeSize, out, children.get()).encode(indices);
}

void packSubBlocks(std::span<const std::uint8_t> data, std::span<std::uint8_t> out)
{
    std::uint8_t* to = out.data();
    for (std::size_t at = 0; at < data.size();) {
        const std::size_t length = std::min<std::size_t>(255, data.size() - at);
        *to++ = static_cast<std::uint8_t>(length);
        std::memcpy(to, data.data() + at, length);
        to += length;
        at += length;
    }
    *to = 0;
}

}  // namespace gif

namespace {

// How each depth is brought to the reduction: paletted images are unpacked
// to one index per byte but keep their own depth as the table size, so
// small palettes stay small; 24-bit images get the full 256 colours.
struct GifDepth {
    std::int32_t bitCount;
    int tableBits;
};
constexpr std::array<GifDepth, 6> kGifDepths{{{1, 1}, {2, 2}, {4, 4}, {8, 8}, {24, 8}, {32, 8}}};

// One index per pixel, bottom row first, and the palette they refer to.
struct Indexed {
    PageBuffer indices;
    Palette palette{};
};

Result<Indexed> reduceToIndices(const ImageView& image, int tableBits)
{
    const auto count = checkedMul(image.width, image.height);
    Indexed result;
    result.indices = PageBuffer::allocate(count ? *count : 0);
    if (!result.indices)
        return CodecError::noMemory;

    auto converter = tryAllocate<PixelConverter>();
    if (!converter)
        return CodecError::noMemory;
    converter->width = image.width;
    converter->height = image.height;
    converter->sourceBits = image.bitCount == 24 ? 24 : 8;
    converter->targetBits = tableBits;

    const RgbQuad* palette = image.palette ? image.palette->data() : nullptr;
    const std::uint8_t* pixels = image.pixels.data();
    PageBuffer unpacked;
    Palette unpackedPalette{};
    if (image.bitCount < 8) {
        auto unpack = tryAllocate<PixelConverter>();
        if (!unpack)
            return CodecError::noMemory;
        unpack->width = image.width;
        unpack->height = image.height;
        unpack->sourceBits = image.bitCount;
        unpack->targetBits = 8;
        unpack->computeLayout();
        unpacked = PageBuffer::allocate(static_cast<std::size_t>(unpack->imageSize));
        if (!unpacked)
            return CodecError::noMemory;
        if (!convertPixels(unpackedPalette.data(), unpacked.data(), *unpack, palette, pixels))
            return CodecError::cannotWrite;
        palette = unpackedPalette.data();
        pixels = unpacked.data();
    }

    buildDiffusionTables(*converter);
    if (Status reduced = reduceToIndexBytes(palette, pixels, result.palette.data(), *converter, result.indices.data());
        !reduced)
        return reduced.error() == CodecError::noMemory ? CodecError::noMemory : CodecError::cannotWrite;
    return result;
}

// ---- Transparency ------------------------------------------------------------

// A bgra32 picture over white in 24-bit rows, for the colour reduction;
// transparent pixels come out white, which costs the palette nothing.
Result<PageBuffer> overWhite(const ImageView& image)
{
    const std::int64_t stride24 = rowLayout(image.width, 1, 24).stride;
    const std::int64_t stride32 = rowLayout(image.width, 1, 32).stride;
    PageBuffer flat = PageBuffer::allocate(static_cast<std::size_t>(stride24 * image.height));
    if (!flat)
        return CodecError::noMemory;
    for (std::int64_t y = 0; y < image.height; ++y) {
        const std::uint8_t* in = image.pixels.data() + y * stride32;
        std::uint8_t* out = flat.data() + y * stride24;
        for (std::int32_t x = 0; x < image.width; ++x, in += 4, out += 3) {
            const std::uint32_t a = in[3];
            for (int c = 0; c < 3; ++c)
                out[c] = static_cast<std::uint8_t>((in[c] * a + 255 * (255 - a) + 127) / 255);
        }
    }
    return flat;
}

std::uint32_t distance(const RgbQuad& a, const RgbQuad& b)
{
    const auto d = [](int p, int q) { return static_cast<std::uint32_t>((p - q) * (p - q)); };
    return d(a.rgbRed, b.rgbRed) + d(a.rgbGreen, b.rgbGreen) + d(a.rgbBlue, b.rgbBlue);
}

// The index the shown pixels use least becomes the transparent one; the
// pixels that used it move to the entry nearest its colour.
std::uint8_t freeTransparentIndex(Indexed& indexed, std::span<const std::uint8_t> alphas)
{
    std::array<std::uint64_t, 256> uses{};
    std::uint8_t* indices = indexed.indices.data();
    for (std::size_t i = 0; i < alphas.size(); ++i)
        uses[indices[i]] += alphas[i] != 0 ? 1 : 0;
    const auto chosen = static_cast<std::size_t>(std::min_element(uses.begin(), uses.end()) - uses.begin());
    if (uses[chosen] == 0)
        return static_cast<std::uint8_t>(chosen);
    std::size_t nearest = chosen == 0 ? 1 : 0;
    for (std::size_t k = 0; k < indexed.palette.size(); ++k)
        if (k != chosen && distance(indexed.palette[k], indexed.palette[chosen]) <
                               distance(indexed.palette[nearest], indexed.palette[chosen]))
            nearest = k;
    for (std::size_t i = 0; i < alphas.size(); ++i)
        if (indices[i] == chosen)
            indices[i] = static_cast<std::uint8_t>(nearest);
    return static_cast<std::uint8_t>(chosen);
}

// Indices of a bgra32 picture: reduced from its colours over white, then
// one index given to every pixel of alpha 0. None when no pixel is.
Result<Indexed> reduceWithTransparency(const ImageView& image, std::optional<std::uint8_t>& transparent)
{
    Result<PageBuffer> flat = overWhite(image);
    if (!flat)
        return flat.error();
    ImageView view = image;
    view.bitCount = 24;
    view.pixels = {flat->data(), flat->size()};
    Result<Indexed> indexed = reduceToIndices(view, 8);
    if (!indexed)
        return indexed;
    flat->reset();
    const std::size_t count = indexed->indices.size();
    PageBuffer alphas = PageBuffer::allocate(count);
    if (!alphas)
        return CodecError::noMemory;
    for (std::size_t i = 0; i < count; ++i)
        alphas.data()[i] = image.pixels[4 * i + 3];
    const std::span<const std::uint8_t> alphaSpan(alphas.data(), count);
    if (std::find(alphaSpan.begin(), alphaSpan.end(), 0) == alphaSpan.end())
        return indexed;
    transparent = freeTransparentIndex(*indexed, alphaSpan);
    for (std::size_t i = 0; i < count; ++i)
        if (alphaSpan[i] == 0)
            indexed->indices.data()[i] = *transparent;
    return indexed;
}

// The index rows top row first, as the file stores them, compressed.
Result<PageBuffer> compress(const Indexed& indexed, std::int32_t width, std::int32_t height, int codeSize)
{
    const std::size_t rowBytes = static_cast<std::size_t>(width);
    const std::size_t count = indexed.indices.size();
    PageBuffer fileOrder = PageBuffer::allocate(count);
    PageBuffer encoded = PageBuffer::allocate(gif::encodedBound(count));
    if (!fileOrder || !encoded)
        return CodecError::noMemory;
    for (std::int32_t y = 0; y < height; ++y)
        std::memcpy(fileOrder.data() + static_cast<std::size_t>(y) * rowBytes,
                    indexed.indices.data() + static_cast<std::size_t>(height - 1 - y) * rowBytes, rowBytes);
    const std::size_t length =
        gif::encodeLzw({fileOrder.data(), count}, codeSize, {encoded.data(), encoded.size()});
    if (length == 0)
        return CodecError::noMemory;
    fileOrder.reset();

    PageBuffer blocks = PageBuffer::allocate(gif::subBlocksSize(length));
    if (!blocks)
        return CodecError::noMemory;
    gif::packSubBlocks({encoded.data(), length}, {blocks.data(), blocks.size()});
    return blocks;
}

std::vector<std::uint8_t> headerAndTable(std::int32_t width, std::int32_t height, int tableBits,
                                         const Palette& palette, std::optional<std::uint8_t> transparent)
{
    std::vector<std::uint8_t> out(13);
    std::memcpy(out.data(), "GIF89a", 6);
    StoreU16LE(&out[6], static_cast<std::uint32_t>(width));
    StoreU16LE(&out[8], static_cast<std::uint32_t>(height));
    out[10] = static_cast<std::uint8_t>(0x80 | (tableBits - 1) << 4 | (tableBits - 1));
    for (std::size_t i = 0; i < (std::size_t{1} << tableBits); ++i)
        out.insert(out.end(), {palette[i].rgbRed, palette[i].rgbGreen, palette[i].rgbBlue});
    if (transparent)  // a graphic control extension naming it
        out.insert(out.end(), {0x21, 0xF9, 0x04, 0x01, 0x00, 0x00, *transparent, 0x00});
    std::array<std::uint8_t, 10> descriptor{0x2C};
    StoreU16LE(&descriptor[5], static_cast<std::uint32_t>(width));
    StoreU16LE(&descriptor[7], static_cast<std::uint32_t>(height));
    out.insert(out.end(), descriptor.begin(), descriptor.end());
    return out;
}

Status writeGif(const ImageView& image, const platform::Path& path)
{
    auto depth = std::find_if(kGifDepths.begin(), kGifDepths.end(),
                              [&](const GifDepth& d) { return d.bitCount == image.bitCount; });
    if (depth == kGifDepths.end() || !dimensionsAllowed(image.width, image.height) ||
        (image.bitCount != 24 && !image.palette))
        return CodecError::cannotWrite;
    const RowLayout layout = rowLayout(image.width, image.height, image.bitCount);
    if (image.pixels.size() < static_cast<std::size_t>(layout.imageSize))
        return CodecError::cannotWrite;

    Result<OutputFile> out = OutputFile::create(path);
    if (!out)
        return out.error();
    std::optional<std::uint8_t> transparent;
    Result<Indexed> indexed = image.bitCount == 32 ? reduceWithTransparency(image, transparent)
                                                   : reduceToIndices(image, depth->tableBits);
    if (!indexed)
        return indexed.error();
    const int codeSize = std::max(depth->tableBits, 2);
    Result<PageBuffer> blocks = compress(*indexed, image.width, image.height, codeSize);
    if (!blocks)
        return blocks.error();

    out->write(headerAndTable(image.width, image.height, depth->tableBits, indexed->palette, transparent));
    const std::array<std::uint8_t, 1> size{static_cast<std::uint8_t>(codeSize)};
    out->write(size);
    out->write({blocks->data(), blocks->size()});
    static constexpr std::array<std::uint8_t, 1> kTrailer{0x3B};
    out->write(kTrailer);
    return out->finish();
}

}  // namespace

Status WriteGif(const ImageView& image, const platform::Path& path)
{
    return withoutExceptions([&] { return writeGif(image, path); });
}

}  // namespace vrelk
