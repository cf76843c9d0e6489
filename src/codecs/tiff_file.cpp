#include "codecs/tiff_file.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>

#include "codecs/byte_cursor.h"
#include "picture/checked.h"

namespace vrelk {
namespace {

MemoryTiff& fileOf(thandle_t handle) { return *static_cast<MemoryTiff*>(handle); }

tmsize_t readFile(thandle_t handle, void* into, tmsize_t size)
{
    MemoryTiff& file = fileOf(handle);
    if (size <= 0 || file.position >= file.bytes.size())
        return 0;
    const std::uint64_t count = std::min<std::uint64_t>(static_cast<std::uint64_t>(size), file.bytes.size() - file.position);
    std::memcpy(into, file.bytes.data() + file.position, static_cast<std::size_t>(count));
    file.position += count;
    return static_cast<tmsize_t>(count);
}

tmsize_t refuseWrite(thandle_t, void*, tmsize_t) { return 0; }

// Offsets before the start are refused; past the end, reads find nothing.
toff_t seekFile(thandle_t handle, toff_t offset, int whence)
{
    MemoryTiff& file = fileOf(handle);
    const std::uint64_t base = whence == SEEK_CUR ? file.position : whence == SEEK_END ? file.bytes.size() : 0;
    const auto signedOffset = static_cast<std::int64_t>(offset);
    if (whence != SEEK_SET && signedOffset < 0 && static_cast<std::uint64_t>(-signedOffset) > base)
        return static_cast<toff_t>(-1);
    file.position = whence == SEEK_SET ? offset : base + offset;
    return file.position;
}

int closeFile(thandle_t) { return 0; }

toff_t sizeOf(thandle_t handle) { return fileOf(handle).bytes.size(); }

// libtiff only reads what it maps.
int mapFile(thandle_t handle, void** base, toff_t* size)
{
    MemoryTiff& file = fileOf(handle);
    *base = const_cast<std::uint8_t*>(file.bytes.data());
    *size = file.bytes.size();
    return 1;
}

void unmapFile(thandle_t, void*, toff_t) {}

ByteOrderReaders orderOf(std::span<const std::uint8_t> file)
{
    return IsBigEndianTiff(file) ? kBigEndianReaders : kLittleEndianReaders;
}

// The first directory's 12-byte entry for `tag`.
std::optional<std::span<const std::uint8_t>> entryOf(std::span<const std::uint8_t> file, std::uint16_t tag)
{
    const ByteOrderReaders order = orderOf(file);
    ByteCursor in(file);
    if (!in.seek(4))
        return std::nullopt;
    const auto directory = order.u32(in);
    if (!directory || !in.seek(*directory))
        return std::nullopt;
    const auto count = order.u16(in);
    if (!count)
        return std::nullopt;
    for (std::uint16_t i = 0; i < *count; ++i) {
        const auto entry = in.take(12);
        if (!entry)
            return std::nullopt;
        ByteCursor fields(*entry);
        if (order.u16(fields) == tag)
            return *entry;
    }
    return std::nullopt;
}

// The values of an entry: in its value field when they fit, else where
// the field points; SHORT or LONG only.
struct ValueArray {
    std::span<const std::uint8_t> values;
    std::uint16_t type = 0;
    std::uint32_t count = 0;
};

std::optional<ValueArray> arrayOf(std::span<const std::uint8_t> file, std::uint16_t tag)
{
    const auto entry = entryOf(file, tag);
    if (!entry)
        return std::nullopt;
    const ByteOrderReaders order = orderOf(file);
    ByteCursor in(entry->subspan(2));
    const std::uint16_t type = order.u16(in).value_or(0);
    const std::uint32_t count = order.u32(in).value_or(0);
    if ((type != TIFF_SHORT && type != TIFF_LONG) || count == 0)
        return std::nullopt;
    const std::uint64_t size = std::uint64_t{count} * (type == TIFF_SHORT ? 2 : 4);
    if (size <= 4)
        return ValueArray{entry->subspan(8, static_cast<std::size_t>(size)), type, count};
    const std::uint32_t offset = order.u32(in).value_or(0);
    if (!rangeInside(offset, size, file.size()))
        return std::nullopt;
    return ValueArray{file.subspan(offset, static_cast<std::size_t>(size)), type, count};
}

struct Rational {
    std::uint32_t numerator = 0;
    std::uint32_t denominator = 0;
};

std::optional<Rational> rationalTag(std::span<const std::uint8_t> file, std::uint16_t tag)
{
    const auto entry = entryOf(file, tag);
    if (!entry)
        return std::nullopt;
    const ByteOrderReaders order = orderOf(file);
    ByteCursor value(entry->subspan(8));
    ByteCursor at(file);
    const auto offset = order.u32(value);
    if (!offset || !at.seek(*offset))
        return std::nullopt;
    const auto numerator = order.u32(at);
    const auto denominator = order.u32(at);
    if (!numerator || !denominator)
        return std::nullopt;
    return Rational{*numerator, *denominator};
}

// A SHORT or a LONG in the value field; inches when the tag is absent.
DensityUnit statedUnit(std::span<const std::uint8_t> file)
{
    const auto entry = entryOf(file, 296);
    if (!entry)
        return DensityUnit::perInch;
    const ByteOrderReaders order = orderOf(file);
    ByteCursor type(entry->subspan(2, 2));
    ByteCursor value(entry->subspan(8));
    const std::uint32_t unit = order.u16(type) == TIFF_LONG ? order.u32(value).value_or(0) : order.u16(value).value_or(0);
    return unit == RESUNIT_INCH ? DensityUnit::perInch : unit == RESUNIT_CENTIMETER ? DensityUnit::perCentimetre
                                                                                    : DensityUnit::none;
}

// The largest single allocation libtiff may make for one file: its strip
// and tile tables and its codecs' state. The pixels and the strips or tiles
// they are decoded from are claimed from the budget instead.
constexpr tmsize_t kLibtiffAllocationLimit = tmsize_t{128} << 20;

int quietError(TIFF*, void* report, const char*, const char* format, va_list)
{
    if (report && format && std::strstr(format, "byte limit"))
        static_cast<LibtiffReport*>(report)->overLimit = true;
    return 1;
}

int quietWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct OptionsFreer {
    void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};

// The handlers of each file stand in for the global ones, which print; these
// are silenced too for the messages that reach them without a file.
void silenceGlobalHandlers()
{
    static const bool silenced = [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
        return true;
    }();
    (void)silenced;
}

TiffAlpha alphaOf(TIFF* tiff)
{
    std::uint16_t count = 0;
    std::uint16_t* kinds = nullptr;
    if (!TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &count, &kinds) || count == 0 || !kinds)
        return TiffAlpha::none;
    return kinds[0] == EXTRASAMPLE_ASSOCALPHA   ? TiffAlpha::associated
           : kinds[0] == EXTRASAMPLE_UNASSALPHA ? TiffAlpha::unassociated
                                                : TiffAlpha::none;
}

}  // namespace

TIFF* OpenMemoryTiff(MemoryTiff& file, TIFFOpenOptions* options)
{
    return TIFFClientOpenExt("picture", "r", &file, readFile, refuseWrite, seekFile, closeFile, sizeOf, mapFile,
                             unmapFile, options);
}

Status CheckTiffHeader(std::span<const std::uint8_t> file)
{
    if (file.size() < 8)
        return CodecError::truncated;
    if (file[0] != file[1] || (file[0] != 'I' && file[0] != 'M'))
        return CodecError::notThisFormat;
    ByteCursor version(file.subspan(2, 2));
    return orderOf(file).u16(version) == 42 ? Status{} : Status{CodecError::notThisFormat};
}

Result<StatedStrips> StatedStrips::of(std::span<const std::uint8_t> file)
{
    const auto offsets = arrayOf(file, TIFFTAG_STRIPOFFSETS);
    const auto counts = arrayOf(file, TIFFTAG_STRIPBYTECOUNTS);
    if (!offsets || !counts || offsets->count != counts->count)
        return CodecError::damaged;
    StatedStrips strips;
    strips.offsets_ = offsets->values;
    strips.counts_ = counts->values;
    strips.offsetType_ = offsets->type;
    strips.countType_ = counts->type;
    strips.count_ = offsets->count;
    strips.bigEndian_ = IsBigEndianTiff(file);
    return strips;
}

std::uint32_t StatedStrips::valueAt(std::span<const std::uint8_t> values, std::uint16_t type, std::uint32_t index) const
{
    ByteCursor at(values);
    const ByteOrderReaders order = bigEndian_ ? kBigEndianReaders : kLittleEndianReaders;
    const std::size_t size = type == TIFF_SHORT ? 2 : 4;
    if (!at.seek(std::size_t{index} * size))
        return 0;
    return type == TIFF_SHORT ? order.u16(at).value_or(0) : order.u32(at).value_or(0);
}

bool IsBigEndianTiff(std::span<const std::uint8_t> file) { return !file.empty() && file[0] == 'M'; }

Resolution StatedResolution(std::span<const std::uint8_t> file)
{
    const auto x = rationalTag(file, 282);
    const auto y = rationalTag(file, 283);
    if (!x || !y || x->denominator == 0 || y->denominator == 0)
        return {};
    const DensityUnit unit = statedUnit(file);
    return {pixelsPerMetre(x->numerator, x->denominator, unit), pixelsPerMetre(y->numerator, y->denominator, unit),
            unit};
}

TiffHandle OpenTiff(MemoryTiff& file, LibtiffReport& report)
{
    silenceGlobalHandlers();
    std::unique_ptr<TIFFOpenOptions, OptionsFreer> options(TIFFOpenOptionsAlloc());
    if (!options)
        return nullptr;
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), kLibtiffAllocationLimit);
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), quietError, &report);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), quietWarning, &report);
    return TiffHandle(OpenMemoryTiff(file, options.get()));
}


TiffFields ReadTiffFields(TIFF* tiff)
{
    TiffFields f;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &f.width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &f.height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &f.bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &f.samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &f.planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &f.compression);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &f.sampleFormat);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_INKSET, &f.inkSet);
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &f.photometric);
    f.alpha = alphaOf(tiff);
    f.tiled = TIFFIsTiled(tiff) != 0;
    if (f.compression == COMPRESSION_JPEG && f.photometric == PHOTOMETRIC_YCBCR) {
        TIFFSetField(tiff, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        f.photometric = PHOTOMETRIC_RGB;
    }
    return f;
}

TiffBands TiffBandsOf(TIFF* tiff, const TiffFields& f)
{
    TiffBands bands{f.width, f.height};
    if (f.tiled) {
        TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &bands.width);
        TIFFGetField(tiff, TIFFTAG_TILELENGTH, &bands.rows);
        return bands;
    }
    std::uint32_t rowsPerStrip = f.height;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    bands.rows = std::clamp<std::uint32_t>(rowsPerStrip, 1, f.height);
    return bands;
}

}  // namespace vrelk
