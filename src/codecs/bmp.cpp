#include "codecs/bmp.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/decode_memory.h"
#include "codecs/files.h"
#include "picture/checked.h"
#include "pixel/bit_depth.h"

namespace vrelk {
namespace {

// The Windows BITMAPINFOHEADER, as the file stores it.
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

// The bytes of [offset, offset + count) that the file holds: fewer near
// the end and none past it, so offsets from the file cannot lead outside it.
std::span<const std::uint8_t> bytesAt(ByteCursor in, std::uint64_t offset, std::size_t count)
{
    if (offset > in.size() || !in.seek(static_cast<std::size_t>(offset)))
        return {};
    auto bytes = in.take(std::min(count, in.left()));
    return bytes ? *bytes : std::span<const std::uint8_t>{};
}

// Copies what the file holds at `offset` into `into`; returns the count.
std::size_t readAt(ByteCursor in, std::uint64_t offset, std::span<std::uint8_t> into)
{
    std::span<const std::uint8_t> bytes = bytesAt(in, offset, into.size());
    std::copy(bytes.begin(), bytes.end(), into.begin());
    return bytes.size();
}

// Everything one read works with, made afresh for every file.
struct BmpReader {
    BmpReader(ByteCursor input, const ReadLimits& given) : in(input), limits(given) {}

    ByteCursor in;
    ReadLimits limits;
    BmpFileHeader fileHeader;
    BitmapInfoHeader infoHeader;
    std::array<std::uint32_t, 3> masks{};  // red, green, blue
    Picture image;
};

enum class DecodePath { unpack, direct, bitFields };

struct DepthRule {
    std::uint16_t bitCount;
    std::uint32_t compressions;  // bit n set: compression n accepted
    std::uint32_t defaultPaletteEntries;
    DecodePath path;
};

constexpr std::uint32_t kRgb = 1u << 0;
constexpr std::uint32_t kBitFields = 1u << 3;
constexpr std::uint32_t kCompressionBitFields = 3;

constexpr std::array<DepthRule, 6> kDepthRules{{
    {1, kRgb, 2, DecodePath::unpack},
    {4, kRgb, 16, DecodePath::unpack},
    {8, kRgb, 256, DecodePath::direct},
    {16, kRgb | kBitFields, 0, DecodePath::bitFields},
    {24, kRgb, 0, DecodePath::direct},
    {32, kRgb | kBitFields, 0, DecodePath::bitFields},
}};

const DepthRule* findDepthRule(const BitmapInfoHeader& info)
{
    for (const DepthRule& rule : kDepthRules)
        if (rule.bitCount == info.biBitCount)
            return info.biCompression < 32 && ((rule.compressions >> info.biCompression) & 1u) ? &rule : nullptr;
    return nullptr;
}

// Both headers lie wholly inside the file, so their fields are read from
// bytes already known to be there.
Status readHeaders(BmpReader& reader)
{
    ByteCursor in = reader.in;
    auto bytes = in.take(kBmpFileHeaderSize + kBmpInfoHeaderSize);
    if (!bytes)
        return CodecError::truncated;
    const std::uint8_t* b = bytes->data();
    auto u32 = [&](std::size_t at) { return LoadU32LE(b + at); };
    auto s32 = [&](std::size_t at) { return static_cast<std::int32_t>(LoadU32LE(b + at)); };

    reader.fileHeader = {LoadU16LE(b), u32(2), LoadU16LE(b + 6), LoadU16LE(b + 8), u32(10)};
    BitmapInfoHeader& info = reader.infoHeader;
    info.biSize = u32(14);
    info.biWidth = s32(18);
    info.biHeight = s32(22);
    info.biPlanes = LoadU16LE(b + 26);
    info.biBitCount = LoadU16LE(b + 28);
    info.biCompression = u32(30);
    info.biSizeImage = u32(34);
    info.biXPelsPerMeter = s32(38);
    info.biYPelsPerMeter = s32(42);
    info.biClrUsed = u32(46);
    info.biClrImportant = u32(50);
    return {};
}

// The colour table follows the info header, whose size the file gives.
void readPalette(const BmpReader& reader, const DepthRule& rule, Palette& palette)
{
    const BitmapInfoHeader& info = reader.infoHeader;
    std::uint32_t entries = info.biClrUsed ? std::min<std::uint32_t>(info.biClrUsed, 256) : rule.defaultPaletteEntries;
    std::span<const std::uint8_t> bytes = bytesAt(reader.in, std::uint64_t{kBmpFileHeaderSize} + info.biSize, entries * 4);
    // A table past the end of the file reads as nothing at all.
    if (!bytes.empty())
        std::memcpy(palette.data(), bytes.data(), bytes.size() - bytes.size() % 4);
}

// The image at `bitCount`, with the file's size and resolution.
Status allocatePixels(BmpReader& reader, int bitCount)
{
    const BitmapInfoHeader& info = reader.infoHeader;
    const std::int64_t height = info.biHeight;
    // The picture and a packed row.
    const auto width = static_cast<std::uint64_t>(info.biWidth);
    const std::uint64_t need = addNeeds(pictureNeed(width, static_cast<std::uint64_t>(height), static_cast<std::uint64_t>(bitCount)),
                                        multiplyNeeds(width, 4));
    if (Status claimed = reader.limits.claim(need); !claimed)
        return claimed;
    Result<Picture> image = allocatePicture(info.biWidth, info.biHeight, layoutOfBits(bitCount));
    if (!image)
        return image.error();
    image->palette = reader.image.palette;
    image->meta.resolution = {info.biXPelsPerMeter, info.biYPelsPerMeter, DensityUnit::perMetre};
    reader.image = std::move(*image);
    return {};
}

// 1 and 4 bits: read the packed rows, then unpack them to one index a byte.
Status decodePacked(BmpReader& reader, const DepthRule& rule)
{
    const BitmapInfoHeader& info = reader.infoHeader;
    Palette sourcePalette{};
    readPalette(reader, rule, sourcePalette);

    // The rows are taken straight from the input in memory; only the part the
    // file holds is converted, since rows it lacks would unpack to index 0,
    // which the zeroed target already holds.
    const RowLayout packed = rowLayout(info.biWidth, info.biHeight, rule.bitCount);
    std::span<const std::uint8_t> rows =
        bytesAt(reader.in, reader.fileHeader.pixelOffset, static_cast<std::size_t>(packed.imageSize));
    if (Status status = allocatePixels(reader, 8); !status)
        return status;
    const auto wholeRows = static_cast<std::int32_t>(static_cast<std::int64_t>(rows.size()) / packed.stride);
    const std::size_t partial = rows.size() % static_cast<std::size_t>(packed.stride);

    PixelConverter converter;
    converter.width = info.biWidth;
    converter.height = wholeRows;
    converter.sourceBits = rule.bitCount;
    converter.targetBits = 8;
    converter.computeLayout();
    Palette& palette = reader.image.palette;
    std::uint8_t* target = reader.image.pixels.data();
    if (wholeRows > 0 && !convertPixels(palette.data(), target, converter, sourcePalette.data(), rows.data()))
        return CodecError::unsupported;
    if (partial == 0 && wholeRows > 0)
        return {};

    // The last row the file holds only in part, padded out with zeros; the
    // palette is copied even when no row is there at all.
    std::vector<std::uint8_t> lastRow(static_cast<std::size_t>(packed.stride), 0);
    std::copy(rows.end() - static_cast<std::ptrdiff_t>(partial), rows.end(), lastRow.begin());
    converter.height = 1;
    if (!convertPixels(palette.data(), target + wholeRows * converter.stride, converter, sourcePalette.data(),
                       lastRow.data()))
        return CodecError::unsupported;
    return {};
}

// 8 and 24 bits are stored in the file as the image keeps them.
Status decodeDirect(BmpReader& reader, const DepthRule& rule)
{
    if (rule.bitCount == 8)
        readPalette(reader, rule, reader.image.palette);
    if (Status status = allocatePixels(reader, rule.bitCount); !status)
        return status;
    PageBuffer& pixels = reader.image.pixels;
    readAt(reader.in, reader.fileHeader.pixelOffset, std::span(pixels.data(), pixels.size()));
    return {};
}

// One colour field of a bit-field pixel: isolated by its mask, then moved
// down by the widths of the fields below it and scaled to 0..255.
struct Field {
    std::uint32_t mask = 0;
    int shift = 0;
    std::uint64_t maximum = 1;
    const std::uint8_t* levels = nullptr;  // the scaled value of each field value, when tabled

    std::uint32_t value(std::uint32_t pixel) const { return (pixel & mask) >> shift; }
    std::uint8_t scale(std::uint32_t pixel) const { return static_cast<std::uint8_t>(value(pixel) * 255u / maximum); }
};

// Fields up to 16 bits wide, as in every common layout, scale through a
// table built once per image instead of a division per sample.
constexpr std::uint64_t kTabledFieldMaximum = 0xFFFF;

bool tableFields(std::array<Field, 3>& fields, std::array<std::vector<std::uint8_t>, 3>& tables)
{
    for (const Field& field : fields)
        if (field.maximum > kTabledFieldMaximum)
            return false;
    for (std::size_t f = 0; f < fields.size(); ++f) {
        std::vector<std::uint8_t>& levels = tables[f];
        levels.resize(static_cast<std::size_t>(fields[f].maximum) + 1);
        for (std::size_t v = 0; v < levels.size(); ++v)
            levels[v] = static_cast<std::uint8_t>(v * 255u / fields[f].maximum);
        fields[f].levels = levels.data();
    }
    return true;
}

int bitLength(std::uint32_t value) { return value ? std::bit_width(value) : 1; }

// Fields are taken as packed from bit 0 upward in the order blue, green,
// red; each mask only isolates its field. A blue field 32 bits wide leaves
// no room for the others and is refused.
bool fieldsFromMasks(const std::array<std::uint32_t, 3>& masks, std::array<Field, 3>& fields)
{
    const std::uint32_t red = masks[0], green = masks[1], blue = masks[2];
    const int blueWidth = bitLength(blue);
    if (blueWidth >= 32)
        return false;
    const int greenWidth = bitLength(green >> blueWidth);
    const int redShift = blueWidth + greenWidth;
    auto maximum = [](int width) { return (std::uint64_t{1} << width) - 1; };
    fields[0] = {blue, 0, maximum(blueWidth)};
    fields[1] = {green, blueWidth, maximum(greenWidth)};
    // Nothing of a 32-bit pixel is left above two fields that fill it.
    fields[2] = redShift < 32 ? Field{red, redShift, maximum(bitLength(red >> redShift))} : Field{0, 0, 1};
    return true;
}

template <int BytesPerPixel, bool Tabled>
void decodeFieldRow(const std::uint8_t* source, std::uint8_t* target, std::size_t pixels,
                    const std::array<Field, 3>& fields)
{
    for (std::size_t x = 0; x < pixels; ++x, source += BytesPerPixel, target += 3) {
        std::uint32_t pixel = std::uint32_t{source[0]} | std::uint32_t{source[1]} << 8;
        if constexpr (BytesPerPixel == 4)
            pixel |= std::uint32_t{source[2]} << 16 | std::uint32_t{source[3]} << 24;
        for (std::size_t f = 0; f < 3; ++f) {
            if constexpr (Tabled)
                target[f] = fields[f].levels[fields[f].value(pixel)];
            else
                target[f] = fields[f].scale(pixel);
        }
    }
}

using FieldRowFn = void (*)(const std::uint8_t*, std::uint8_t*, std::size_t, const std::array<Field, 3>&);

// By bytes per pixel (2 or 4) and whether the fields are tabled.
constexpr std::array<std::array<FieldRowFn, 2>, 2> kFieldRows{{
    {decodeFieldRow<2, false>, decodeFieldRow<2, true>},
    {decodeFieldRow<4, false>, decodeFieldRow<4, true>},
}};

void readMasks(BmpReader& reader)
{
    const bool sixteen = reader.infoHeader.biBitCount == 16;
    if (reader.infoHeader.biCompression != kCompressionBitFields) {
        reader.masks = sixteen ? std::array<std::uint32_t, 3>{0x7C00, 0x03E0, 0x001F}
                               : std::array<std::uint32_t, 3>{0xFF0000, 0x00FF00, 0x0000FF};
        return;
    }
    // Inside the larger headers the masks sit at the same place; masks the
    // file does not hold read as 0.
    std::array<std::uint8_t, 12> bytes{};
    readAt(reader.in, kBmpFileHeaderSize + kBmpInfoHeaderSize, bytes);
    for (std::size_t i = 0; i < reader.masks.size(); ++i)
        reader.masks[i] = LoadU32LE(bytes.data() + 4 * i);
}

// 16 and 32 bits: every pixel is decoded through its masks into 24 bits.
Status decodeBitFields(BmpReader& reader, const DepthRule& rule)
{
    const BitmapInfoHeader& info = reader.infoHeader;
    readMasks(reader);
    std::array<Field, 3> fields{};
    if (!fieldsFromMasks(reader.masks, fields))
        return CodecError::unsupported;

    if (Status status = allocatePixels(reader, 24); !status)
        return status;
    const int bytesPerPixel = rule.bitCount / 8;
    const std::int64_t sourceStride = (std::int64_t{info.biWidth} * bytesPerPixel + 3) & ~std::int64_t{3};
    const std::int64_t targetStride = rowLayout(info.biWidth, 1, 24).stride;

    std::array<std::vector<std::uint8_t>, 3> tables;
    const bool tabled = tableFields(fields, tables);
    FieldRowFn decodeRow = kFieldRows[bytesPerPixel == 4][tabled];
    for (std::int64_t y = 0; y < info.biHeight; ++y) {
        std::span<const std::uint8_t> row = bytesAt(reader.in, reader.fileHeader.pixelOffset + y * sourceStride,
                                                     static_cast<std::size_t>(sourceStride));
        std::size_t pixels = std::min<std::size_t>(row.size() / static_cast<std::size_t>(bytesPerPixel),
                                                   static_cast<std::size_t>(info.biWidth));
        if (pixels == 0)
            break;
        decodeRow(row.data(), reader.image.pixels.data() + y * targetStride, pixels, fields);
    }
    return {};
}

// The rows as the file stores them: whole 32-bit words each.
std::uint64_t storedPixelBytes(const BitmapInfoHeader& info)
{
    const std::uint64_t rowBits = multiplyNeeds(static_cast<std::uint64_t>(info.biWidth), info.biBitCount);
    return multiplyNeeds((rowBits + 31) / 32 * 4, static_cast<std::uint64_t>(info.biHeight));
}

std::uint64_t pixelBytesPresent(const BmpReader& reader)
{
    const std::uint64_t offset = reader.fileHeader.pixelOffset;
    return reader.in.size() > offset ? reader.in.size() - offset : 0;
}

Status decode(BmpReader& reader)
{
    if (Status status = readHeaders(reader); !status)
        return status;
    const BitmapInfoHeader& info = reader.infoHeader;
    if (Status admitted = reader.limits.admit(info.biWidth, std::abs(std::int64_t{info.biHeight})); !admitted)
        return admitted;
    // Rows stored top-down are a variant this reader leaves to the plug-ins.
    if (info.biHeight < 0)
        return CodecError::unsupported;
    if (info.biSize < kBmpInfoHeaderSize || info.biSize > kBmpMaxInfoHeaderSize)
        return CodecError::unsupported;
    const DepthRule* rule = findDepthRule(info);
    if (!rule)
        return CodecError::unsupported;
    if (Status covered = requireCoverage(pixelBytesPresent(reader), storedPixelBytes(info)); !covered)
        return covered;

    switch (rule->path) {
    case DecodePath::unpack: return decodePacked(reader, *rule);
    case DecodePath::direct: return decodeDirect(reader, *rule);
    case DecodePath::bitFields: return decodeBitFields(reader, *rule);
    }
    return CodecError::unsupported;
}

struct WriteDepth {
    std::int32_t bits;
    std::uint32_t paletteEntries;
};

constexpr std::array<WriteDepth, 4> kWriteDepths{{{1, 2}, {4, 16}, {8, 256}, {24, 0}}};

std::vector<std::uint8_t> headerBytes(const BmpFileHeader& file, const BitmapInfoHeader& info,
                                      std::uint32_t paletteEntries, const Palette& palette)
{
    std::vector<std::uint8_t> out;
    out.reserve(kBmpFileHeaderSize + kBmpInfoHeaderSize + 4 * paletteEntries);
    AppendU16LE(out, file.type);
    AppendU32LE(out, file.fileSize);
    AppendU16LE(out, file.reserved1);
    AppendU16LE(out, file.reserved2);
    AppendU32LE(out, file.pixelOffset);

    for (std::uint32_t value : {info.biSize, static_cast<std::uint32_t>(info.biWidth),
                                static_cast<std::uint32_t>(info.biHeight)})
        AppendU32LE(out, value);
    AppendU16LE(out, info.biPlanes);
    AppendU16LE(out, info.biBitCount);
    for (std::uint32_t value :
         {info.biCompression, info.biSizeImage, static_cast<std::uint32_t>(info.biXPelsPerMeter),
          static_cast<std::uint32_t>(info.biYPelsPerMeter), info.biClrUsed, info.biClrImportant})
        AppendU32LE(out, value);

    for (std::uint32_t i = 0; i < paletteEntries; ++i) {
        const RgbQuad& c = palette[i];
        out.insert(out.end(), {c.rgbBlue, c.rgbGreen, c.rgbRed, c.rgbReserved});
    }
    return out;
}

}  // namespace

static Result<Picture> readBmpBody(ByteCursor in, const ReadLimits& limits)
{
    BmpReader reader(in, limits);
    if (Status status = decode(reader); !status)
        return status.error();
    return std::move(reader.image);
}

Result<Picture> ReadBmp(ByteCursor in, const ReadLimits& limits)
{
    return withoutExceptions([&] { return readBmpBody(in, limits); });
}

static Status writeBmpBody(const ImageView& image, const platform::Path& path)
{
    auto depth = std::find_if(kWriteDepths.begin(), kWriteDepths.end(),
                              [&](const WriteDepth& d) { return d.bits == image.bitCount; });
    if (depth == kWriteDepths.end() || image.width < 1 || image.height < 1 || !image.palette)
        return CodecError::unsupported;
    const auto pixelBytes = static_cast<std::uint64_t>(rowLayout(image.width, image.height, image.bitCount).imageSize);
    const std::uint64_t pixelOffset = kBmpFileHeaderSize + kBmpInfoHeaderSize + 4u * depth->paletteEntries;
    if (image.pixels.size() < pixelBytes || pixelOffset + pixelBytes > UINT32_MAX)
        return CodecError::cannotWrite;
    Result<OutputFile> out = OutputFile::create(path);
    if (!out)
        return out.error();

    const BmpFileHeader file{0x4D42, static_cast<std::uint32_t>(pixelOffset + pixelBytes), 0, 0,
                             static_cast<std::uint32_t>(pixelOffset)};
    BitmapInfoHeader info;
    info.biWidth = image.width;
    info.biHeight = image.height;
    info.biBitCount = static_cast<std::uint16_t>(depth->bits);
    info.biClrUsed = depth->paletteEntries;
    if (image.resolution.unit != DensityUnit::none) {
        info.biXPelsPerMeter = image.resolution.xPerMetre;
        info.biYPelsPerMeter = image.resolution.yPerMetre;
    }

    out->write(headerBytes(file, info, depth->paletteEntries, *image.palette));
    out->write(image.pixels.first(pixelBytes));
    return out->finish();
}

Status WriteBmp(const ImageView& image, const platform::Path& path)
{
    return withoutExceptions([&] { return writeBmpBody(image, path); });
}

}  // namespace vrelk
