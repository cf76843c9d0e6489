#include "codecs/tiff.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "codecs/byte_cursor.h"
#include "codecs/decode_memory.h"
#include "codecs/icc_profile.h"
#include "picture/checked.h"

namespace vrelk {
namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint16_t kTypeByte = 1;
constexpr std::uint16_t kTypeUndefined = 7;
constexpr std::uint16_t kTypeShort = 3;
constexpr std::uint16_t kTypeLong = 4;
constexpr std::size_t kEntrySize = 12;

enum Tag : std::uint16_t {
    kImageWidth = 256,
    kImageLength = 257,
    kBitsPerSample = 258,
    kCompression = 259,
    kPhotometricInterpretation = 262,
    kStripOffsets = 273,
    kStripByteCounts = 279,
    kXResolution = 282,
    kYResolution = 283,
    kPlanarConfiguration = 284,
    kResolutionUnit = 296,
    kColorMap = 320,
    kIccProfile = 34675,
};

constexpr std::uint32_t kNoCompression = 1;
constexpr std::uint32_t kInterleaved = 1;

enum Photometric : std::uint32_t {
    kWhiteIsZero = 0,
    kBlackIsZero = 1,
    kRgb = 2,
    kPaletteColour = 3,
    kNoPhotometric = 0xFFFFFFFFu,
};

enum ResolutionUnit : std::uint32_t { kInch = 2, kCentimetre = 3 };

// One 12-byte directory entry; `field` is its 4-byte value field.
struct Entry {
    std::uint16_t tag = 0;
    std::uint16_t type = 0;
    std::uint32_t count = 0;
    Bytes field;
};

// StripOffsets or StripByteCounts, left where it lies in the file and read
// when the strips are gathered.
struct ValueArray {
    Bytes values;
    std::uint16_t type = 0;
    std::uint32_t count = 0;
    bool seen = false;
};

using RowRoutine = void (*)(const std::uint8_t* in, std::uint8_t* out, std::int32_t width);

void expand1Bit(const std::uint8_t* in, std::uint8_t* out, std::int32_t width)
{
    for (std::int32_t x = 0; x < width; ++x)
        out[x] = static_cast<std::uint8_t>((in[x >> 3] >> (7 - (x & 7))) & 1);
}

void expand4Bit(const std::uint8_t* in, std::uint8_t* out, std::int32_t width)
{
    for (std::int32_t x = 0; x < width; ++x)
        out[x] = static_cast<std::uint8_t>((in[x >> 1] >> ((~x & 1) * 4)) & 0x0F);
}

void copy8Bit(const std::uint8_t* in, std::uint8_t* out, std::int32_t width)
{
    std::memcpy(out, in, static_cast<std::size_t>(width));
}

void rgb8ToBgr(const std::uint8_t* in, std::uint8_t* out, std::int32_t width)
{
    for (std::int32_t x = 0; x < width; ++x, in += 3, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
    }
}

// Keeps the high byte of each 16-bit sample: the second byte of a
// little-endian sample, the first of a big-endian one.
template <int kHigh>
void rgb16ToBgr(const std::uint8_t* in, std::uint8_t* out, std::int32_t width)
{
    for (std::int32_t x = 0; x < width; ++x, in += 6, out += 3) {
        out[0] = in[4 + kHigh];
        out[1] = in[2 + kHigh];
        out[2] = in[kHigh];
    }
}

enum class ColourModel { grey, palette, rgb };

// The sample layouts this reader decodes.
struct TiffLayout {
    ColourModel model;
    std::uint32_t bits;
    std::uint32_t samples;
    int outputBits;
    RowRoutine littleEndian;
    RowRoutine bigEndian;
};

constexpr std::array<TiffLayout, 8> kLayouts{{
    {ColourModel::grey, 1, 1, 8, expand1Bit, expand1Bit},
    {ColourModel::grey, 4, 1, 8, expand4Bit, expand4Bit},
    {ColourModel::grey, 8, 1, 8, copy8Bit, copy8Bit},
    {ColourModel::palette, 1, 1, 8, expand1Bit, expand1Bit},
    {ColourModel::palette, 4, 1, 8, expand4Bit, expand4Bit},
    {ColourModel::palette, 8, 1, 8, copy8Bit, copy8Bit},
    {ColourModel::rgb, 8, 3, 24, rgb8ToBgr, rgb8ToBgr},
    {ColourModel::rgb, 16, 3, 24, rgb16ToBgr<1>, rgb16ToBgr<0>},
}};

std::optional<ColourModel> colourModelOf(std::uint32_t photometric)
{
    switch (photometric) {
    case kWhiteIsZero:
    case kBlackIsZero: return ColourModel::grey;
    case kPaletteColour: return ColourModel::palette;
    case kRgb: return ColourModel::rgb;
    default: return std::nullopt;
    }
}

DensityUnit densityUnit(std::uint32_t unit)
{
    return unit == kInch ? DensityUnit::perInch : unit == kCentimetre ? DensityUnit::perCentimetre : DensityUnit::none;
}

// The image rows in order: the strips themselves when they follow each other
// in the file, otherwise one block they are copied into.
struct StripData {
    Bytes bytes;
    PageBuffer copy;
};

class TiffDecoder {
public:
    TiffDecoder(ByteCursor in, const ReadLimits& limits) : limits_(limits), file_(in.whole()) {}

    Result<Picture> decode();

private:
    ReadLimits limits_;
    Status readHeader();
    Status readDirectory();
    Status readEntry(const Entry& entry);
    Status readDimension(const Entry& entry, std::int32_t& into);
    Status readBitsPerSample(const Entry& entry);
    Status readValueArray(const Entry& entry, ValueArray& into);
    Result<const TiffLayout*> chooseLayout() const;
    Status buildPalette(const TiffLayout& layout, Palette& palette) const;
    Result<StripData> gatherStrips(std::uint64_t needed, std::uint64_t alsoNeeded) const;
    void convertRows(const TiffLayout& layout, Bytes data, Picture& image) const;
    void applyResolution(Resolution& resolution) const;
    std::vector<std::uint8_t> iccProfile() const;

    std::uint16_t fieldU16(const Entry& entry) const;
    std::uint32_t fieldU32(const Entry& entry) const;
    std::uint32_t fieldValue(const Entry& entry) const;
    std::optional<std::uint32_t> u32At(std::size_t offset) const;

    Bytes file_;
    ByteOrderReaders order_ = kLittleEndianReaders;
    // For the 4-byte value field of an entry, which is always whole.
    std::uint16_t (*load16_)(const std::uint8_t*) = LoadU16LE;
    std::uint32_t (*load32_)(const std::uint8_t*) = LoadU32LE;
    bool littleEndian_ = true;
    std::uint32_t directoryOffset_ = 0;
    std::int32_t width_ = 0;
    std::int32_t height_ = 0;
    std::uint32_t bitsPerSample_ = 1;
    std::uint32_t samplesPerPixel_ = 1;
    std::uint32_t photometric_ = kNoPhotometric;
    std::uint32_t planarConfiguration_ = kInterleaved;
    std::uint32_t resolutionUnit_ = kInch;
    std::uint32_t colorMapOffset_ = 0;  // 0: none
    std::optional<std::uint32_t> xResolutionOffset_;
    std::optional<std::uint32_t> yResolutionOffset_;
    ValueArray stripOffsets_;
    ValueArray stripByteCounts_;
    std::optional<Entry> iccProfile_;
};

std::uint16_t TiffDecoder::fieldU16(const Entry& entry) const { return load16_(entry.field.data()); }

std::uint32_t TiffDecoder::fieldU32(const Entry& entry) const { return load32_(entry.field.data()); }

// A single SHORT or LONG held in the value field.
std::uint32_t TiffDecoder::fieldValue(const Entry& entry) const
{
    return entry.type == kTypeLong ? fieldU32(entry) : fieldU16(entry);
}

std::optional<std::uint32_t> TiffDecoder::u32At(std::size_t offset) const
{
    ByteCursor at(file_);
    if (!at.seek(offset))
        return std::nullopt;
    return order_.u32(at);
}

Status TiffDecoder::readHeader()
{
    ByteCursor in(file_);
    auto mark = in.take(8);
    if (!mark)
        return CodecError::truncated;
    const std::uint8_t first = (*mark)[0];
    if (first != (*mark)[1] || (first != 'I' && first != 'M'))
        return CodecError::notThisFormat;
    littleEndian_ = first == 'I';
    order_ = littleEndian_ ? kLittleEndianReaders : kBigEndianReaders;
    load16_ = littleEndian_ ? LoadU16LE : LoadU16BE;
    load32_ = littleEndian_ ? LoadU32LE : LoadU32BE;
    ByteCursor header(mark->subspan(2));
    if (order_.u16(header) != 42)
        return CodecError::notThisFormat;
    directoryOffset_ = order_.u32(header).value_or(0);
    return {};
}

// Only the first directory is read: later pages are never visited.
Status TiffDecoder::readDirectory()
{
    ByteCursor in(file_);
    if (!in.seek(directoryOffset_))
        return CodecError::damaged;
    const auto count = order_.u16(in);
    if (!count)
        return CodecError::damaged;
    const auto entries = in.take(std::size_t{*count} * kEntrySize);
    if (!entries)
        return CodecError::damaged;
    for (std::size_t i = 0; i < *count; ++i) {
        ByteCursor raw(entries->subspan(i * kEntrySize, kEntrySize));
        Entry entry;
        entry.tag = order_.u16(raw).value_or(0);
        entry.type = order_.u16(raw).value_or(0);
        entry.count = order_.u32(raw).value_or(0);
        entry.field = raw.rest();
        if (Status status = readEntry(entry); !status)
            return status;
    }
    if (stripOffsets_.count != stripByteCounts_.count)
        return CodecError::damaged;
    return {};
}

Status TiffDecoder::readEntry(const Entry& entry)
{
    switch (entry.tag) {
    case kImageWidth: return readDimension(entry, width_);
    case kImageLength: return readDimension(entry, height_);
    case kBitsPerSample: return readBitsPerSample(entry);
    case kCompression: return fieldValue(entry) == kNoCompression ? Status{} : CodecError::unsupported;
    case kPhotometricInterpretation: photometric_ = fieldValue(entry); return {};
    case kStripOffsets: return readValueArray(entry, stripOffsets_);
    case kStripByteCounts: return readValueArray(entry, stripByteCounts_);
    case kXResolution: xResolutionOffset_ = fieldU32(entry); return {};
    case kYResolution: yResolutionOffset_ = fieldU32(entry); return {};
    case kPlanarConfiguration: planarConfiguration_ = fieldValue(entry); return {};
    case kResolutionUnit: resolutionUnit_ = fieldValue(entry); return {};
    case kColorMap: colorMapOffset_ = fieldU32(entry); return {};
    case kIccProfile: iccProfile_ = entry; return {};
    default: return {};
    }
}

Status TiffDecoder::readDimension(const Entry& entry, std::int32_t& into)
{
    if (entry.type != kTypeShort && entry.type != kTypeLong)
        return CodecError::damaged;
    const std::uint32_t value = fieldValue(entry);
    if (value == 0)
        return CodecError::damaged;
    if (!dimensionAllowed(value))
        return CodecError::unsupported;
    into = static_cast<std::int32_t>(value);
    return {};
}

// The value count is the number of samples per pixel; three samples must
// share one depth of 8 or 16 bits.
Status TiffDecoder::readBitsPerSample(const Entry& entry)
{
    samplesPerPixel_ = entry.count;
    if (entry.count == 1) {
        bitsPerSample_ = fieldU16(entry);
    } else if (entry.count == 3) {
        ByteCursor at(file_);
        if (!at.seek(fieldU32(entry)))
            return CodecError::damaged;
        const auto red = order_.u16(at);
        const auto green = order_.u16(at);
        const auto blue = order_.u16(at);
        if (!blue)
            return CodecError::damaged;
        if (*red != *green || *green != *blue || (*red != 8 && *red != 16))
            return CodecError::damaged;
        bitsPerSample_ = *red;
    }
    return {};
}

Status TiffDecoder::readValueArray(const Entry& entry, ValueArray& into)
{
    if (into.seen)
        return CodecError::damaged;
    into.seen = true;
    if (entry.count == 0)
        return CodecError::damaged;
    if (entry.type != kTypeShort && entry.type != kTypeLong)
        return CodecError::damaged;
    const std::uint64_t size = std::uint64_t{entry.count} * (entry.type == kTypeShort ? 2 : 4);
    if (size <= entry.field.size()) {
        into.values = entry.field.first(static_cast<std::size_t>(size));
    } else {
        const std::uint32_t offset = fieldU32(entry);
        if (!rangeInside(offset, size, file_.size()))
            return CodecError::damaged;
        into.values = file_.subspan(offset, static_cast<std::size_t>(size));
    }
    into.type = entry.type;
    into.count = entry.count;
    return {};
}

Result<const TiffLayout*> TiffDecoder::chooseLayout() const
{
    const std::optional<ColourModel> model = colourModelOf(photometric_);
    if (!model)
        return CodecError::unsupported;
    if (Status admitted = limits_.admit(width_, height_); !admitted)
        return admitted.error();
    if (*model == ColourModel::palette && colorMapOffset_ == 0)
        return CodecError::unsupported;
    // Separate planes would be read as interleaved samples.
    if (planarConfiguration_ != kInterleaved && samplesPerPixel_ > 1)
        return CodecError::unsupported;
    for (const TiffLayout& layout : kLayouts) {
        if (layout.model == *model && layout.bits == bitsPerSample_ && layout.samples == samplesPerPixel_)
            return &layout;
    }
    return CodecError::unsupported;
}

Status TiffDecoder::buildPalette(const TiffLayout& layout, Palette& palette) const
{
    const std::size_t entries = std::size_t{1} << layout.bits;
    if (layout.model == ColourModel::grey) {
        const int step = 255 / static_cast<int>(entries - 1);
        const bool inverted = photometric_ == kWhiteIsZero;
        for (std::size_t k = 0; k < entries; ++k) {
            const int level = static_cast<int>(k) * step;
            const auto value = static_cast<std::uint8_t>(inverted ? 255 - level : level);
            palette[k] = RgbQuad{value, value, value, 0};
        }
        return {};
    }
    // Reds, then greens, then blues, 16 bits each; the high byte is kept.
    ByteCursor at(file_);
    if (!at.seek(colorMapOffset_) || !at.has(entries * 6))
        return CodecError::damaged;
    std::array<std::uint8_t RgbQuad::*, 3> components{&RgbQuad::rgbRed, &RgbQuad::rgbGreen, &RgbQuad::rgbBlue};
    for (auto component : components) {
        for (std::size_t k = 0; k < entries; ++k)
            palette[k].*component = static_cast<std::uint8_t>(order_.u16(at).value_or(0) >> 8);
    }
    return {};
}

// Every strip must lie inside the file. Only the bytes the rows need are
// kept, so strips that repeat one region of the file cannot demand more
// memory than the image. The memory claimed is the copy, when there is one,
// and `alsoNeeded` for the picture.
Result<StripData> TiffDecoder::gatherStrips(std::uint64_t needed, std::uint64_t alsoNeeded) const
{
    ByteCursor offsets(stripOffsets_.values);
    ByteCursor counts(stripByteCounts_.values);
    auto next = [this](ByteCursor& values, std::uint16_t type) -> std::uint32_t {
        if (type == kTypeShort)
            return order_.u16(values).value_or(0);
        return order_.u32(values).value_or(0);
    };
    const std::uint32_t stripCount = stripOffsets_.count;
    std::uint64_t total = 0;
    std::uint64_t expectedOffset = 0;
    bool contiguous = true;
    for (std::uint32_t i = 0; i < stripCount; ++i) {
        const std::uint32_t offset = next(offsets, stripOffsets_.type);
        const std::uint32_t count = next(counts, stripByteCounts_.type);
        if (!rangeInside(offset, count, file_.size()))
            return CodecError::damaged;
        if (i > 0 && offset != expectedOffset)
            contiguous = false;
        expectedOffset = std::uint64_t{offset} + count;
        total += count;  // under 2^32 strips of under 2^32 bytes each: cannot wrap
    }
    if (total == 0)
        return CodecError::damaged;
    if (Status covered = requireCoverage(total, needed); !covered)
        return covered.error();
    const std::uint64_t keptBytes = std::min(total, needed);
    // Strips that do not follow one another are copied together.
    if (Status claimed = limits_.claim(addNeeds(alsoNeeded, contiguous ? 0 : keptBytes)); !claimed)
        return claimed.error();
    if (keptBytes > SIZE_MAX)
        return CodecError::noMemory;
    const auto kept = static_cast<std::size_t>(keptBytes);

    StripData data;
    ByteCursor first(stripOffsets_.values);
    if (contiguous) {
        data.bytes = file_.subspan(next(first, stripOffsets_.type), kept);
        return data;
    }
    data.copy = PageBuffer::allocate(kept);
    if (!data.copy)
        return CodecError::noMemory;
    offsets = ByteCursor(stripOffsets_.values);
    counts = ByteCursor(stripByteCounts_.values);
    std::size_t filled = 0;
    for (std::uint32_t i = 0; i < stripCount && filled < kept; ++i) {
        const std::uint32_t offset = next(offsets, stripOffsets_.type);
        const std::size_t count = std::min<std::size_t>(next(counts, stripByteCounts_.type), kept - filled);
        std::memcpy(data.copy.data() + filled, file_.data() + offset, count);
        filled += count;
    }
    data.bytes = Bytes(data.copy.data(), kept);
    return data;
}

// The first row of the file is the bottom row of the image. Rows the strips
// do not hold stay zero; a partly present row is converted from a
// zero-padded copy.
void TiffDecoder::convertRows(const TiffLayout& layout, Bytes data, Picture& image) const
{
    const RowRoutine convert = littleEndian_ ? layout.littleEndian : layout.bigEndian;
    const std::size_t inRowBytes =
        (static_cast<std::size_t>(width_) * layout.bits * layout.samples + 7) / 8;
    const auto stride = static_cast<std::size_t>(rowLayout(width_, height_, layout.outputBits).stride);
    const std::size_t fullRows = std::min<std::size_t>(data.size() / inRowBytes, static_cast<std::size_t>(height_));
    std::uint8_t* bottom = image.pixels.data() + stride * static_cast<std::size_t>(height_ - 1);
    for (std::size_t row = 0; row < fullRows; ++row)
        convert(data.data() + row * inRowBytes, bottom - row * stride, width_);

    const std::size_t partial = data.size() - fullRows * inRowBytes;
    if (fullRows < static_cast<std::size_t>(height_) && partial > 0) {
        auto padded = tryAllocateArray<std::uint8_t>(inRowBytes);
        if (!padded)
            return;
        std::memcpy(padded.get(), data.data() + fullRows * inRowBytes, partial);
        convert(padded.get(), bottom - fullRows * stride, width_);
    }
}

void TiffDecoder::applyResolution(Resolution& resolution) const
{
    if (!xResolutionOffset_ || !yResolutionOffset_)
        return;
    const auto xNumerator = u32At(*xResolutionOffset_);
    const auto xDenominator = u32At(std::size_t{*xResolutionOffset_} + 4);
    const auto yNumerator = u32At(*yResolutionOffset_);
    const auto yDenominator = u32At(std::size_t{*yResolutionOffset_} + 4);
    if (!xDenominator || !yDenominator || *xDenominator == 0 || *yDenominator == 0)
        return;
    const DensityUnit unit = densityUnit(resolutionUnit_);
    resolution = {pixelsPerMetre(*xNumerator, *xDenominator, unit), pixelsPerMetre(*yNumerator, *yDenominator, unit), unit};
}

// The profile's bytes where the entry points; none when they do not lie
// inside the file or do not look like a whole profile.
std::vector<std::uint8_t> TiffDecoder::iccProfile() const
{
    if (!iccProfile_ || (iccProfile_->type != kTypeUndefined && iccProfile_->type != kTypeByte) ||
        iccProfile_->count > kMaxIccProfileBytes || iccProfile_->count <= 4)
        return {};
    ByteCursor at(file_);
    if (!at.seek(fieldU32(*iccProfile_)))
        return {};
    const auto bytes = at.take(iccProfile_->count);
    if (!bytes || !IccProfileLooksWhole(*bytes))
        return {};
    return std::vector<std::uint8_t>(bytes->begin(), bytes->end());
}

Result<Picture> TiffDecoder::decode()
{
    if (Status status = readHeader(); !status)
        return status.error();
    if (Status status = readDirectory(); !status)
        return status.error();
    Result<const TiffLayout*> layout = chooseLayout();
    if (!layout)
        return layout.error();
    const TiffLayout& pixels = **layout;

    Palette palette{};
    if (pixels.outputBits == 8) {
        if (Status status = buildPalette(pixels, palette); !status)
            return status.error();
    }
    // Counted in 64 bits: a 32-bit size_t wraps on a large picture.
    const std::uint64_t inRowBytes = (std::uint64_t{static_cast<std::uint32_t>(width_)} * pixels.bits * pixels.samples + 7) / 8;
    const std::uint64_t needed = inRowBytes * static_cast<std::uint32_t>(height_);
    const std::uint64_t picture = pictureNeed(static_cast<std::uint32_t>(width_), static_cast<std::uint32_t>(height_),
                                              static_cast<std::uint64_t>(pixels.outputBits)) + inRowBytes;
    Result<StripData> strips = gatherStrips(needed, picture);
    if (!strips)
        return strips.error();

    Result<Picture> image = allocatePicture(width_, height_, layoutOfBits(pixels.outputBits));
    if (!image)
        return image.error();
    image->palette = palette;
    convertRows(pixels, strips->bytes, *image);
    applyResolution(image->meta.resolution);
    image->meta.iccProfile = iccProfile();
    return std::move(image.value());
}

}  // namespace

static Result<Picture> readTiffBody(ByteCursor in, const ReadLimits& limits)
{
    TiffDecoder decoder(in, limits);
    return decoder.decode();
}

Result<Picture> ReadTiff(ByteCursor in, const ReadLimits& limits)
{
    return withoutExceptions([&] { return readTiffBody(in, limits); });
}

}  // namespace vrelk
