#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "codecs/gif.h"
#include "codecs/decode_memory.h"
#include "codecs/gif_lzw.h"
#include "picture/checked.h"
#include "pixel/alpha.h"

namespace vrelk {
namespace {

using Rgb = std::array<std::uint8_t, 3>;
using GifPalette = std::array<Rgb, 256>;

constexpr std::uint8_t kExtensionIntroducer = 0x21;
constexpr std::uint8_t kImageSeparator = 0x2C;

// Bytes from the label to the first sub-block of the extensions whose
// contents this reader passes over.
struct SkippedExtension {
    std::uint8_t label;
    std::size_t header;
};
constexpr std::array<SkippedExtension, 3> kSkippedExtensions{{
    {0x01, 13},  // plain text: block size and 12 bytes
    {0xFF, 12},  // application: block size and 11 bytes
    {0xFE, 0},   // comment
}};
constexpr std::uint8_t kGraphicControlLabel = 0xF9;

struct ImageDescriptor {
    std::uint16_t left = 0;
    std::uint16_t top = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    bool interlaced = false;
};

// The frame row that holds picture row r of an interlaced image: the four
// passes store rows 0, 8, 16...; then 4, 12...; then 2, 6...; then the odd.
std::vector<std::int32_t> interlacedRowMap(std::int32_t height)
{
    const std::int32_t pass1 = (height + 7) / 8;
    const std::int32_t pass2 = (height + 3) / 8;
    const std::int32_t pass3 = (height + 1) / 4;
    std::vector<std::int32_t> rows(static_cast<std::size_t>(height));
    for (std::int32_t r = 0; r < height; ++r) {
        std::int32_t from = pass1 + pass2 + pass3 + r / 2;
        if (r % 8 == 0)
            from = r / 8;
        else if (r % 8 == 4)
            from = pass1 + r / 8;
        else if (r % 4 == 2)
            from = pass1 + pass2 + r / 4;
        rows[static_cast<std::size_t>(r)] = from;
    }
    return rows;
}

// LZW codes of one image, unpacked into a frame of one index per pixel.
class LzwDecoder {
public:
    LzwDecoder(std::span<const std::uint8_t> data, int minimumSize, std::span<std::uint8_t> frame)
        : data_(data), frame_(frame)
    {
        gif::initialiseDictionary(dictionary_, minimumSize);
        restart();
    }

    // Stops at the end code, at the end of the data, or when a string would
    // not fit the frame; indices never decoded stay 0.
    void run()
    {
        for (;;) {
            const int code = readCode();
            if (code < 0 || code == dictionary_.endCode)
                return;
            if (code == dictionary_.clearCode) {
                restart();
                continue;
            }
            if (previous_ < 0) {
                // After a clear only a literal can start the strings; any
                // other code here leaves no sound way on.
                if (code > dictionary_.clearCode || !put(code))
                    return;
                previous_ = code;
                continue;
            }
            if (!decodeAfter(code))
                return;
        }
    }

private:
    void restart()
    {
        width_ = dictionary_.initialWidth;
        next_ = dictionary_.firstFree;
        previous_ = -1;
    }

    int readCode()
    {
        while (bits_ < width_) {
            if (position_ == data_.size())
                return -1;
            accumulator_ |= std::uint32_t{data_[position_++]} << bits_;
            bits_ += 8;
        }
        const int code = static_cast<int>(accumulator_ & ((1u << width_) - 1u));
        accumulator_ >>= width_;
        bits_ -= width_;
        return code;
    }

    // Writes the string of a defined code, last byte first along the links.
    bool put(int code)
    {
        const std::size_t length = dictionary_.entries[static_cast<std::size_t>(code)].length;
        if (length > frame_.size() - output_)
            return false;
        std::size_t at = output_ + length;
        for (std::size_t i = 0; i < length; ++i) {
            const gif::LzwEntry& entry = dictionary_.entries[static_cast<std::size_t>(code)];
            frame_[--at] = entry.last;
            code = entry.prefix;
        }
        output_ += length;
        return true;
    }

    bool decodeAfter(int code)
    {
        const std::size_t start = output_;
        std::uint8_t first = 0;
        int decoded = code;
        if (code < next_) {
            if (!put(code))
                return false;
            first = frame_[start];
        } else {
            // The string the encoder made from the previous one and its own
            // first byte, used before this side could define it.
            if (!put(previous_) || output_ == frame_.size())
                return false;
            first = frame_[start];
            frame_[output_++] = first;
            decoded = next_;
        }
        if (next_ < gif::kMaxCodes) {
            gif::LzwEntry& entry = dictionary_.entries[static_cast<std::size_t>(next_)];
            entry.last = first;
            entry.prefix = static_cast<std::uint16_t>(previous_);
            entry.length = static_cast<std::uint16_t>(dictionary_.entries[static_cast<std::size_t>(previous_)].length + 1);
            previous_ = decoded;
            ++next_;
            if (width_ < gif::kMaxCodeWidth && next_ > (1 << width_) - 1)
                ++width_;
        }
        return true;
    }

    std::span<const std::uint8_t> data_;
    std::span<std::uint8_t> frame_;
    gif::LzwDictionary dictionary_;
    std::size_t position_ = 0;
    std::uint32_t accumulator_ = 0;
    int bits_ = 0;
    std::size_t output_ = 0;
    int width_ = 0;
    int next_ = 0;
    int previous_ = -1;
};

class GifReader {
public:
    GifReader(ByteCursor in, const ReadLimits& limits, bool keepAlpha)
        : limits_(limits), keepAlpha_(keepAlpha), in_(in)
    {
    }

    Result<Picture> read()
    {
        if (Status status = readScreen(); !status)
            return status.error();
        while (!in_.atEnd()) {
            const std::uint8_t block = *in_.u8();
            if (block == kImageSeparator)
                return readImage();
            // A trailer before any image, or a block of no known kind.
            Status status = block == kExtensionIntroducer ? readExtension() : Status(CodecError::damaged);
            if (!status)
                return status.error();
        }
        return CodecError::damaged;
    }

private:
    ReadLimits limits_;
    bool keepAlpha_ = false;
    static bool readTable(ByteCursor& in, std::uint8_t packed, GifPalette& palette)
    {
        const std::size_t entries = std::size_t{1} << ((packed & 7) + 1);
        auto table = in.take(3 * entries);
        if (!table)
            return false;
        palette = {};
        for (std::size_t i = 0; i < entries; ++i)
            palette[i] = {(*table)[3 * i], (*table)[3 * i + 1], (*table)[3 * i + 2]};
        return true;
    }

    Status readScreen()
    {
        auto header = in_.take(13);
        if (!header)
            return CodecError::truncated;
        const std::uint8_t* h = header->data();
        if (std::memcmp(h, "GIF", 3) != 0)
            return CodecError::notThisFormat;
        if (std::memcmp(h + 3, "87a", 3) != 0 && std::memcmp(h + 3, "89a", 3) != 0)
            return CodecError::unsupported;
        screenWidth_ = LoadU16LE(h + 6);
        screenHeight_ = LoadU16LE(h + 8);
        if (Status admitted = limits_.admit(screenWidth_, screenHeight_); !admitted)
            return admitted.error();
        hasGlobalTable_ = (h[10] & 0x80) != 0;
        if (hasGlobalTable_) {
            background_ = h[11];
            if (!readTable(in_, h[10], global_))
                return CodecError::damaged;
        }
        return {};
    }

    Status skipSubBlocks()
    {
        for (;;) {
            auto length = in_.u8();
            if (!length)
                return CodecError::damaged;
            if (*length == 0)
                return {};
            if (!in_.skip(*length))
                return CodecError::damaged;
        }
    }

    Status readExtension()
    {
        auto label = in_.u8();
        if (!label)
            return CodecError::damaged;
        if (*label == kGraphicControlLabel) {
            // Taken as its fixed size: block size, flags, delay, index, end.
            auto block = in_.take(6);
            if (!block)
                return CodecError::damaged;
            transparent_ = ((*block)[1] & 1) != 0;
            transparentIndex_ = (*block)[4];
            return {};
        }
        auto skipped = std::find_if(kSkippedExtensions.begin(), kSkippedExtensions.end(),
                                    [&](const SkippedExtension& e) { return e.label == *label; });
        if (skipped == kSkippedExtensions.end())
            return CodecError::unsupported;
        if (!in_.skip(skipped->header))
            return CodecError::damaged;
        return skipSubBlocks();
    }

    // The image's sub-blocks one after another.
    Result<std::vector<std::uint8_t>> gather()
    {
        std::vector<std::uint8_t> data;
        for (bool first = true;; first = false) {
            auto length = in_.u8();
            if (!length || (first && *length == 0))
                return CodecError::damaged;
            if (*length == 0)
                return data;
            auto bytes = in_.take(*length);
            if (!bytes)
                return CodecError::damaged;
            data.insert(data.end(), bytes->begin(), bytes->end());
        }
    }

    // The frame's indices, the screen's picture, the gathered data (at most
    // the rest of the file) and the interlaced row map.
    std::uint64_t readNeed(const ImageDescriptor& image) const
    {
        const std::uint64_t frame = std::uint64_t{image.width} * image.height;
        const std::uint64_t screen = pictureNeed(static_cast<std::uint64_t>(screenWidth_),
                                                 static_cast<std::uint64_t>(screenHeight_), 8);
        return frame + screen + in_.left() + std::uint64_t{image.height} * sizeof(std::int32_t);
    }

    Result<Picture> readImage()
    {
        auto fields = in_.take(9);
        if (!fields)
            return CodecError::damaged;
        const std::uint8_t* f = fields->data();
        ImageDescriptor image{LoadU16LE(f), LoadU16LE(f + 2), LoadU16LE(f + 4), LoadU16LE(f + 6),
                              (f[8] & 0x40) != 0};
        if (image.left + image.width > screenWidth_ || image.top + image.height > screenHeight_)
            return CodecError::damaged;
        const GifPalette* active = &global_;
        if (f[8] & 0x80) {
            if (!readTable(in_, f[8], local_))
                return CodecError::damaged;
            active = &local_;
        } else if (!hasGlobalTable_) {
            return CodecError::damaged;
        }

        auto codeSize = in_.u8();
        if (!codeSize || *codeSize < 2 || *codeSize > 8)
            return CodecError::damaged;
        if (Status claimed = limits_.claim(readNeed(image)); !claimed)
            return claimed.error();
        auto data = gather();
        if (!data)
            return data.error();

        std::vector<std::uint8_t> frame(std::size_t{image.width} * image.height);
        LzwDecoder(*data, *codeSize, frame).run();
        Result<Picture> composed = compose(image, *active, frame);
        if (composed && keepAlpha_ && transparent_)
            if (Status kept = keepTransparentIndex(*composed); !kept)
                return kept.error();
        return composed;
    }

    // Pixels of the transparent index become transparent, in the colour
    // compose gave them; a picture that shows none of them stays indexed.
    Status keepTransparentIndex(Picture& picture) const
    {
        IndexAlpha alpha;
        alpha.fill(255);
        alpha[transparentIndex_] = 0;
        if (!usesTransparentIndex(picture, alpha))
            return {};
        const auto width = static_cast<std::uint64_t>(screenWidth_), height = static_cast<std::uint64_t>(screenHeight_);
        if (Status claimed = limits_.claim(pictureNeed(width, height, 32)); !claimed)
            return claimed;
        return addIndexAlpha(picture, alpha);
    }

    Result<Picture> compose(const ImageDescriptor& image, GifPalette palette, std::span<const std::uint8_t> frame)
    {
        if (transparent_)
            palette[transparentIndex_] = hasGlobalTable_ ? global_[background_] : Rgb{255, 255, 255};
        Result<Picture> result = allocatePicture(screenWidth_, screenHeight_, PixelLayout::palette8);
        if (!result)
            return result;
        Picture& dib = *result;
        for (std::size_t i = 0; i < palette.size(); ++i)
            dib.palette[i] = {palette[i][2], palette[i][1], palette[i][0], 0};

        const std::vector<std::int32_t> rowMap =
            image.interlaced ? interlacedRowMap(image.height) : std::vector<std::int32_t>{};
        const std::int64_t stride = rowLayout(screenWidth_, 1, 8).stride;
        for (std::int32_t y = 0; y < screenHeight_; ++y) {
            std::uint8_t* row = dib.pixels.data() + (screenHeight_ - 1 - y) * stride;
            std::memset(row, background_, static_cast<std::size_t>(screenWidth_));
            const std::int32_t r = y - image.top;
            if (r < 0 || r >= image.height || image.width == 0)
                continue;
            const std::int32_t from = image.interlaced ? rowMap[static_cast<std::size_t>(r)] : r;
            std::memcpy(row + image.left, frame.data() + std::size_t{image.width} * static_cast<std::size_t>(from),
                        image.width);
        }
        return result;
    }

    ByteCursor in_;
    std::int32_t screenWidth_ = 0;
    std::int32_t screenHeight_ = 0;
    bool hasGlobalTable_ = false;
    std::uint8_t background_ = 0;
    GifPalette global_{};
    GifPalette local_{};
    bool transparent_ = false;
    std::uint8_t transparentIndex_ = 0;
};

}  // namespace

Result<Picture> ReadGif(ByteCursor in, const ReadLimits& limits, bool keepAlpha)
{
    return withoutExceptions([&] { return GifReader(in, limits, keepAlpha).read(); });
}


}  // namespace vrelk
