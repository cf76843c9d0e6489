#include "codecs/bmp.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "codecs/codec_file.h"
#include "pixel/convert.h"

namespace vrelk {
namespace {

// Positional reads over the plain input file. Nothing is read at or past
// the end, so offsets from the file cannot lead outside it.
class BmpInput {
public:
    BmpInput(platform::File& file, std::int64_t size) : file_(file), size_(size) {}

    // Bytes read into `into` from `offset`; fewer (or none) near the end.
    std::size_t readAt(std::int64_t offset, std::span<std::uint8_t> into)
    {
        if (offset < 0 || offset >= size_ || into.empty())
            return 0;
        std::int64_t available = size_ - offset;
        if (static_cast<std::uint64_t>(available) < into.size())
            into = into.first(static_cast<std::size_t>(available));
        if (offset != position_ && !file_.skip(offset - position_))
            return 0;
        position_ = offset;
        std::size_t got = file_.read(into);
        position_ += static_cast<std::int64_t>(got);
        return got;
    }

private:
    platform::File& file_;
    std::int64_t size_;
    std::int64_t position_ = 0;
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

bool fail(BmpReader& reader, CodecErrorCode code)
{
    reader.errorCode = code;
    reader.image.pixels.reset();
    return false;
}

bool readHeaders(BmpReader& reader, BmpInput& input)
{
    std::array<std::uint8_t, kBmpFileHeaderSize + kBmpInfoHeaderSize> bytes{};
    if (input.readAt(0, bytes) != bytes.size())
        return fail(reader, kCodecBadFormat);

    ReadCursor in{bytes.data(), bytes.data(), bytes.data() + bytes.size()};
    BmpFileHeader& file = reader.fileHeader;
    file.type = ReadU16LE(in);
    file.fileSize = ReadU32LE(in);
    file.reserved1 = ReadU16LE(in);
    file.reserved2 = ReadU16LE(in);
    file.pixelOffset = ReadU32LE(in);

    BitmapInfoHeader& info = reader.infoHeader;
    info.biSize = ReadU32LE(in);
    info.biWidth = static_cast<std::int32_t>(ReadU32LE(in));
    info.biHeight = static_cast<std::int32_t>(ReadU32LE(in));
    info.biPlanes = ReadU16LE(in);
    info.biBitCount = ReadU16LE(in);
    info.biCompression = ReadU32LE(in);
    info.biSizeImage = ReadU32LE(in);
    info.biXPelsPerMeter = static_cast<std::int32_t>(ReadU32LE(in));
    info.biYPelsPerMeter = static_cast<std::int32_t>(ReadU32LE(in));
    info.biClrUsed = ReadU32LE(in);
    info.biClrImportant = ReadU32LE(in);
    return true;
}

bool dimensionsAccepted(const BitmapInfoHeader& info)
{
    // A negative height (top-down rows) is refused along with the rest.
    return info.biWidth >= 1 && info.biWidth <= kBmpMaxDimension && info.biHeight >= 1 &&
           info.biHeight <= kBmpMaxDimension;
}

// The colour table follows the info header, whose size the file gives.
void readPalette(BmpReader& reader, BmpInput& input, const DepthRule& rule, Palette& palette)
{
    const BitmapInfoHeader& info = reader.infoHeader;
    std::uint32_t entries = info.biClrUsed ? std::min<std::uint32_t>(info.biClrUsed, 256) : rule.defaultPaletteEntries;
    std::array<std::uint8_t, 256 * 4> bytes{};
    std::size_t got = input.readAt(kBmpFileHeaderSize + info.biSize, std::span(bytes).first(entries * 4));
    std::memcpy(palette.data(), bytes.data(), got - got % 4);
}

void fillHeaderFromFile(BmpReader& reader, int bitCount)
{
    const BitmapInfoHeader& info = reader.infoHeader;
    FillBitmapHeader(reader, info.biWidth, info.biHeight, bitCount, info.biXPelsPerMeter, info.biYPelsPerMeter);
}

bool allocateImage(BmpReader& reader, int bitCount)
{
    RowLayout layout = rowLayout(reader.infoHeader.biWidth, reader.infoHeader.biHeight, bitCount);
    reader.image.pixels = PageBuffer::allocate(static_cast<std::size_t>(layout.imageSize));
    return reader.image.pixels ? true : fail(reader, kCodecNoMemory);
}

// 1 and 4 bits: read the packed rows, then unpack them to one index a byte.
bool decodePacked(BmpReader& reader, BmpInput& input, const DepthRule& rule)
{
    const BitmapInfoHeader& info = reader.infoHeader;
    Palette sourcePalette{};
    readPalette(reader, input, rule, sourcePalette);

    RowLayout packed = rowLayout(info.biWidth, info.biHeight, rule.bitCount);
    PageBuffer work = PageBuffer::allocate(static_cast<std::size_t>(packed.imageSize));
    if (!work)
        return fail(reader, kCodecNoMemory);
    std::size_t got = input.readAt(reader.fileHeader.pixelOffset, std::span(work.data(), work.size()));

    reader.width = info.biWidth;
    reader.height = info.biHeight;
    reader.sourceBits = rule.bitCount;
    reader.targetBits = 8;
    reader.computeLayout();
    if (!allocateImage(reader, 8))
        return false;
    fillHeaderFromFile(reader, 8);

    // Rows the file does not hold would unpack to index 0, which the zeroed
    // target already holds; skipping them keeps short files cheap.
    auto rowsPresent = static_cast<std::int32_t>((static_cast<std::int64_t>(got) + packed.stride - 1) / packed.stride);
    reader.height = std::max(rowsPresent, 1);
    bool converted =
        convertPixels(reader.image.palette.data(), reader.image.pixels.data(), reader, sourcePalette.data(), work.data());
    reader.height = info.biHeight;
    return converted ? true : fail(reader, kCodecCannotOpen);
}

// 8 and 24 bits are stored in the file as the image keeps them.
bool decodeDirect(BmpReader& reader, BmpInput& input, const DepthRule& rule)
{
    if (rule.bitCount == 8)
        readPalette(reader, input, rule, reader.image.palette);
    fillHeaderFromFile(reader, rule.bitCount);
    if (!allocateImage(reader, rule.bitCount))
        return false;
    PageBuffer& pixels = reader.image.pixels;
    input.readAt(reader.fileHeader.pixelOffset, std::span(pixels.data(), pixels.size()));
    return true;
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

void readMasks(BmpReader& reader, BmpInput& input)
{
    const bool sixteen = reader.infoHeader.biBitCount == 16;
    if (reader.infoHeader.biCompression != kCompressionBitFields) {
        reader.masks = sixteen ? std::array<std::uint32_t, 3>{0x7C00, 0x03E0, 0x001F}
                               : std::array<std::uint32_t, 3>{0xFF0000, 0x00FF00, 0x0000FF};
        return;
    }
    // Inside the larger headers the masks sit at the same place.
    std::array<std::uint8_t, 12> bytes{};
    input.readAt(kBmpFileHeaderSize + kBmpInfoHeaderSize, bytes);
    ReadCursor in{bytes.data(), bytes.data(), bytes.data() + bytes.size()};
    for (std::uint32_t& mask : reader.masks)
        mask = ReadU32LE(in);
}

// 16 and 32 bits: every pixel is decoded through its masks into 24 bits.
bool decodeBitFields(BmpReader& reader, BmpInput& input, const DepthRule& rule)
{
    const BitmapInfoHeader& info = reader.infoHeader;
    readMasks(reader, input);
    std::array<Field, 3> fields{};
    if (!fieldsFromMasks(reader.masks, fields))
        return fail(reader, kCodecCannotOpen);

    fillHeaderFromFile(reader, 24);
    if (!allocateImage(reader, 24))
        return false;
    const int bytesPerPixel = rule.bitCount / 8;
    const std::int64_t sourceStride = (std::int64_t{info.biWidth} * bytesPerPixel + 3) & ~std::int64_t{3};
    const std::int64_t targetStride = rowLayout(info.biWidth, 1, 24).stride;
    PageBuffer row = PageBuffer::allocate(static_cast<std::size_t>(sourceStride));
    if (!row)
        return fail(reader, kCodecNoMemory);

    std::array<std::vector<std::uint8_t>, 3> tables;
    const bool tabled = tableFields(fields, tables);
    FieldRowFn decodeRow = kFieldRows[bytesPerPixel == 4][tabled];
    for (std::int64_t y = 0; y < info.biHeight; ++y) {
        std::size_t got = input.readAt(reader.fileHeader.pixelOffset + y * sourceStride, std::span(row.data(), row.size()));
        std::size_t pixels = std::min<std::size_t>(got / static_cast<std::size_t>(bytesPerPixel),
                                                   static_cast<std::size_t>(info.biWidth));
        if (pixels == 0)
            break;
        decodeRow(row.data(), reader.image.pixels.data() + y * targetStride, pixels, fields);
    }
    return true;
}

bool decode(BmpReader& reader, BmpInput& input)
{
    if (!readHeaders(reader, input))
        return false;
    const BitmapInfoHeader& info = reader.infoHeader;
    if (!dimensionsAccepted(info))
        return fail(reader, kCodecUnsupported);
    if (info.biSize < kBmpInfoHeaderSize || info.biSize > kBmpMaxInfoHeaderSize)
        return fail(reader, kCodecUnsupported);
    const DepthRule* rule = findDepthRule(info);
    if (!rule)
        return fail(reader, kCodecUnsupported);

    switch (rule->path) {
    case DecodePath::unpack: return decodePacked(reader, input, *rule);
    case DecodePath::direct: return decodeDirect(reader, input, *rule);
    case DecodePath::bitFields: return decodeBitFields(reader, input, *rule);
    }
    return false;
}

void putU16(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void putU32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    putU16(out, value & 0xFFFF);
    putU16(out, value >> 16);
}

struct WriteDepth {
    std::int32_t bits;
    std::uint32_t paletteEntries;
};

constexpr std::array<WriteDepth, 4> kWriteDepths{{{1, 2}, {4, 16}, {8, 256}, {24, 0}}};

std::vector<std::uint8_t> headerBytes(const BmpWriter& writer, const Palette& palette)
{
    std::vector<std::uint8_t> out;
    out.reserve(kBmpFileHeaderSize + kBmpInfoHeaderSize + 4 * writer.paletteEntries);
    const BmpFileHeader& file = writer.fileHeader;
    putU16(out, file.type);
    putU32(out, file.fileSize);
    putU16(out, file.reserved1);
    putU16(out, file.reserved2);
    putU32(out, file.pixelOffset);

    const BitmapInfoHeader& info = writer.infoHeader;
    for (std::uint32_t value : {info.biSize, static_cast<std::uint32_t>(info.biWidth),
                                static_cast<std::uint32_t>(info.biHeight)})
        putU32(out, value);
    putU16(out, info.biPlanes);
    putU16(out, info.biBitCount);
    for (std::uint32_t value :
         {info.biCompression, info.biSizeImage, static_cast<std::uint32_t>(info.biXPelsPerMeter),
          static_cast<std::uint32_t>(info.biYPelsPerMeter), info.biClrUsed, info.biClrImportant})
        putU32(out, value);

    for (std::uint32_t i = 0; i < writer.paletteEntries; ++i) {
        const RgbQuad& c = palette[i];
        out.insert(out.end(), {c.rgbBlue, c.rgbGreen, c.rgbRed, c.rgbReserved});
    }
    return out;
}

}  // namespace

void BmpReader::resetForRead()
{
    fileHeader = {};
    infoHeader = {};
    masks = {};
    image.palette.fill(RgbQuad{});
}

void BmpWriter::resetForWrite()
{
    fileHeader = {};
    infoHeader = {};
    paletteEntries = 0;
}

DibImage* ReadBmp(BmpReader& reader, const platform::Path& path)
{
    reader.inputFile = platform::File::openRead(path);
    if (!reader.inputFile.isOpen()) {
        fail(reader, kCodecCannotOpen);
        return nullptr;
    }
    reader.inputFileSize = reader.inputFile.size();
    BmpInput input(reader.inputFile, reader.inputFileSize);
    if (!decode(reader, input))
        return nullptr;
    reader.image.sourceFormat = kFormatBmp;
    return &reader.image;
}

bool WriteBmp(BmpWriter& writer, const platform::Path& path, const Palette& palette,
              std::span<const std::uint8_t> pixels)
{
    auto depth = std::find_if(kWriteDepths.begin(), kWriteDepths.end(),
                              [&](const WriteDepth& d) { return d.bits == writer.sourceBits; });
    if (depth == kWriteDepths.end() || writer.width < 1 || writer.height < 1) {
        writer.errorCode = kCodecUnsupported;
        return false;
    }
    const std::uint64_t pixelBytes = static_cast<std::uint64_t>(writer.imageSize);
    const std::uint64_t pixelOffset = kBmpFileHeaderSize + kBmpInfoHeaderSize + 4u * depth->paletteEntries;
    if (writer.imageSize <= 0 || pixels.size() < pixelBytes || pixelOffset + pixelBytes > UINT32_MAX) {
        writer.errorCode = kCodecWriteFailed;
        return false;
    }
    if (!CreateOutputFile(path, writer))
        return false;

    writer.paletteEntries = depth->paletteEntries;
    writer.fileHeader = {0x4D42, static_cast<std::uint32_t>(pixelOffset + pixelBytes), 0, 0,
                         static_cast<std::uint32_t>(pixelOffset)};
    writer.infoHeader = {};
    writer.infoHeader.biWidth = writer.width;
    writer.infoHeader.biHeight = writer.height;
    writer.infoHeader.biBitCount = static_cast<std::uint16_t>(depth->bits);
    writer.infoHeader.biClrUsed = depth->paletteEntries;

    std::vector<std::uint8_t> headers = headerBytes(writer, palette);
    if (!writer.outputFile.write(headers) || !writer.outputFile.write(pixels.first(pixelBytes))) {
        writer.errorCode = kCodecWriteFailed;
        return false;
    }
    return true;
}

void ReleaseBmpReader(BmpReader& reader) { ReleaseCodecFiles(reader); }
void ReleaseBmpWriter(BmpWriter& writer) { ReleaseCodecFiles(writer); }

}  // namespace vrelk
