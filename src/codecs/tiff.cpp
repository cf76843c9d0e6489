#include "codecs/tiff.h"

#include <tiffio.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <span>

#include "codecs/decode_memory.h"
#include "codecs/icc_profile.h"
#include "codecs/metadata.h"
#include "codecs/tiff_file.h"
#include "codecs/tiff_rows.h"
#include "picture/checked.h"
#include "platform/picture_cores.h"
#include "pixel/colour_manage.h"

namespace vrelk {
namespace {

using Bytes = std::span<const std::uint8_t>;

// The largest single allocation libtiff may make for one file: its strip
// and tile tables and its codecs' state. The pixels and the strips or tiles
// they are decoded from are claimed from the budget instead.
constexpr tmsize_t kLibtiffAllocationLimit = tmsize_t{128} << 20;

// What libtiff's complaints said, kept off the terminal.
struct LibtiffReport {
    bool overLimit = false;
};

int quietError(TIFF*, void* report, const char*, const char* format, va_list)
{
    if (report && format && std::strstr(format, "byte limit"))
        static_cast<LibtiffReport*>(report)->overLimit = true;
    return 1;
}

int quietWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffCloser {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

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

TiffHandle openTiff(MemoryTiff& file, LibtiffReport& report)
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

std::optional<TiffColour> colourOf(std::uint16_t photometric)
{
    switch (photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK: return TiffColour::grey;
    case PHOTOMETRIC_PALETTE: return TiffColour::palette;
    case PHOTOMETRIC_RGB: return TiffColour::rgb;
    case PHOTOMETRIC_SEPARATED: return TiffColour::cmyk;
    default: return std::nullopt;
    }
}

constexpr std::uint32_t colourSamples(TiffColour colour)
{
    constexpr std::uint32_t kSamples[] = {1, 1, 3, 4};
    return kSamples[static_cast<std::size_t>(colour)];
}

// What the first directory says about the pixels.
struct TiffFields {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint16_t bits = 1;
    std::uint16_t samples = 1;
    std::uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    std::uint16_t planar = PLANARCONFIG_CONTIG;
    std::uint16_t compression = COMPRESSION_NONE;
    std::uint16_t sampleFormat = SAMPLEFORMAT_UINT;
    std::uint16_t inkSet = INKSET_CMYK;
    TiffAlpha alpha = TiffAlpha::none;
    bool tiled = false;
};

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

// New-style JPEG holds YCbCr, which libjpeg turns into RGB for us.
TiffFields readFields(TIFF* tiff)
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

// The layout this reader converts itself, or none to leave the file to
// libtiff's general decode.
const TiffSampleLayout* chooseLayout(const TiffFields& f)
{
    const std::optional<TiffColour> colour = colourOf(f.photometric);
    if (!colour || f.samples < colourSamples(*colour))
        return nullptr;
    if (*colour == TiffColour::cmyk && f.inkSet != INKSET_CMYK)
        return nullptr;
    // Alpha over white is worked out on black-is-zero values.
    if (f.photometric == PHOTOMETRIC_MINISWHITE && f.alpha != TiffAlpha::none)
        return nullptr;
    // Separate planes are interleaved a whole sample at a time.
    if (f.planar == PLANARCONFIG_SEPARATE && f.samples > 1 && f.bits % 8 != 0)
        return nullptr;
    const TiffAlpha alpha = f.samples > colourSamples(*colour) ? f.alpha : TiffAlpha::none;
    const TiffSampleFormat format =
        f.sampleFormat == SAMPLEFORMAT_IEEEFP ? TiffSampleFormat::floatingPoint : TiffSampleFormat::unsignedInteger;
    if (f.sampleFormat != SAMPLEFORMAT_UINT && f.sampleFormat != SAMPLEFORMAT_IEEEFP)
        return nullptr;
    return FindTiffLayout(*colour, f.bits, format, alpha);
}

// Grey pictures carry their ramp (falling for WhiteIsZero), palette
// pictures the colour map's high bytes.
Status buildPalette(TIFF* tiff, const TiffFields& f, Palette& palette)
{
    const std::size_t entries = f.bits < 8 ? std::size_t{1} << f.bits : 256;
    if (f.photometric != PHOTOMETRIC_PALETTE) {
        const int step = 255 / static_cast<int>(entries - 1);
        const bool inverted = f.photometric == PHOTOMETRIC_MINISWHITE;
        for (std::size_t k = 0; k < entries; ++k) {
            const int level = static_cast<int>(k) * step;
            const auto value = static_cast<std::uint8_t>(inverted ? 255 - level : level);
            palette[k] = RgbQuad{value, value, value, 0};
        }
        return {};
    }
    std::uint16_t* red = nullptr;
    std::uint16_t* green = nullptr;
    std::uint16_t* blue = nullptr;
    if (!TIFFGetField(tiff, TIFFTAG_COLORMAP, &red, &green, &blue) || !red || !green || !blue)
        return CodecError::unsupported;
    for (std::size_t k = 0; k < entries; ++k)
        palette[k] = RgbQuad{static_cast<std::uint8_t>(blue[k] >> 8), static_cast<std::uint8_t>(green[k] >> 8),
                             static_cast<std::uint8_t>(red[k] >> 8), 0};
    return {};
}

// Uncompressed strips that hold far less than the picture they state are
// a file cut short, not a picture of zeros to be made at full size.
Status rawStripsCover(Bytes file, std::uint64_t stated)
{
    Result<StatedStrips> strips = StatedStrips::of(file);
    if (!strips)
        return strips.error();
    std::uint64_t total = 0;
    for (std::uint32_t i = 0; i < strips->count(); ++i)
        total += strips->byteCount(i);
    return requireCoverage(total, stated);
}

// Uncompressed strips are taken from the file's bytes as they lie, one
// after the other in strip order, as this program has always read them;
// each must lie inside the file.
Status readRawStrips(Bytes file, TiffRowAssembler& rows)
{
    Result<StatedStrips> strips = StatedStrips::of(file);
    if (!strips)
        return strips.error();
    std::uint64_t total = 0;
    for (std::uint32_t i = 0; i < strips->count(); ++i) {
        if (!rangeInside(strips->offset(i), strips->byteCount(i), file.size()))
            return CodecError::damaged;
        total += strips->byteCount(i);  // under 2^32 strips of under 2^32 bytes each: cannot wrap
    }
    if (total == 0)
        return CodecError::damaged;
    for (std::uint32_t i = 0; i < strips->count(); ++i)
        rows.feed(file.subspan(strips->offset(i), strips->byteCount(i)));
    rows.finish();
    return {};
}

Status readEncodedStrips(TIFF* tiff, std::span<std::uint8_t> chunk, TiffRowAssembler& rows, const TiffRowSink& sink)
{
    const std::uint32_t strips = TIFFNumberOfStrips(tiff);
    for (std::uint32_t i = 0; i < strips && !sink.full(); ++i) {
        const tmsize_t got = TIFFReadEncodedStrip(tiff, i, chunk.data(), static_cast<tmsize_t>(chunk.size()));
        if (got < 0)
            return CodecError::damaged;
        rows.feed(chunk.first(static_cast<std::size_t>(got)));
    }
    rows.finish();
    return {};
}

// Tiles, or strips of separate planes: each band of rows is put together
// as interleaved samples, then handed on row by row.
struct TiffBands {
    std::uint32_t width = 0;  // pixels of one strip or tile
    std::uint32_t rows = 0;
};

TiffBands bandsOf(TIFF* tiff, const TiffFields& f)
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

// Strips of whole rows, or bands of tiles, decoded a range at a time on
// the picture's lent cores, each range through a handle of its own over
// the same bytes.
struct StripRanges {
    Bytes file;
    std::uint32_t strips = 0;  // or bands of tiles or of separate planes' strips
    std::uint32_t rowsPerStrip = 0;
    std::size_t rowBytes = 0;
    std::size_t chunkBytes = 0;
    std::size_t bandBytes = 0;  // 0 for strips of whole interleaved rows
    std::size_t inkBytes = 0;
    std::size_t most = 1;  // as many as the memory claimed for them allows
    Picture* image = nullptr;
    TiffRowRoutine routine = nullptr;
    TiffRowShape shape;
    const SrgbTransform* inkProfile = nullptr;
};

// Whether every strip of the range decoded to its whole rows, each put in
// its place. A strip that decodes short moves the rows after it, which
// only reading the file in order gives.
bool readStripRange(const StripRanges& job, std::uint32_t first, std::uint32_t end)
{
    MemoryTiff memory{job.file};
    LibtiffReport report;
    TiffHandle tiff = openTiff(memory, report);
    auto work = tryAllocateArray<std::uint8_t>(job.chunkBytes + job.inkBytes);
    if (!tiff || !work)
        return false;
    readFields(tiff.get());  // sets JPEG's colour mode, as on the first handle
    TiffRowSink sink(*job.image, job.routine, job.shape, job.inkProfile,
                     job.inkBytes ? work.get() + job.chunkBytes : nullptr);
    sink.startAt(static_cast<std::int32_t>(first * job.rowsPerStrip));
    const auto height = static_cast<std::uint32_t>(job.image->height);
    for (std::uint32_t i = first; i < end; ++i) {
        const std::uint32_t rows = std::min(job.rowsPerStrip, height - i * job.rowsPerStrip);
        const tmsize_t got = TIFFReadEncodedStrip(tiff.get(), i, work.get(), static_cast<tmsize_t>(job.chunkBytes));
        if (got < 0 || static_cast<std::uint64_t>(got) != std::uint64_t{rows} * job.rowBytes)
            return false;
        for (std::uint32_t r = 0; r < rows; ++r)
            sink.put(work.get() + r * job.rowBytes);
    }
    return true;
}

// How many ranges the strips or bands may be read in: one unless each
// strip holds whole rows, and the extra buffers come to no more than a
// quarter of the picture.
std::size_t stripRangesAllowed(TIFF* tiff, const TiffFields& f, bool banded, std::uint64_t rowBytes,
                               std::uint64_t rangeBytes, std::uint64_t pictureBytes)
{
    constexpr std::uint64_t kMostRanges = 16;
    const std::uint32_t rowsPerUnit = bandsOf(tiff, f).rows;
    if (rowsPerUnit == 0 || rangeBytes == 0)
        return 1;
    const std::uint64_t units = (std::uint64_t{f.height} + rowsPerUnit - 1) / rowsPerUnit;
    if (units < 2 || (!banded && (TIFFStripSize64(tiff) != rowBytes * rowsPerUnit || TIFFNumberOfStrips(tiff) != units)))
        return 1;
    return static_cast<std::size_t>(1 + std::min({units - 1, kMostRanges - 1, pictureBytes / 4 / rangeBytes}));
}

// One plane's samples of `pixels` pixels into their places among the others.
template <std::size_t kBytes>
void scatterSamples(const std::uint8_t* in, std::uint8_t* out, std::size_t pixels, std::size_t step)
{
    for (std::size_t x = 0; x < pixels; ++x, in += kBytes, out += step)
        std::memcpy(out, in, kBytes);
}

using ScatterRoutine = void (*)(const std::uint8_t*, std::uint8_t*, std::size_t, std::size_t);

ScatterRoutine scatterFor(std::uint16_t bits)
{
    return bits == 8 ? scatterSamples<1> : bits == 16 ? scatterSamples<2> : scatterSamples<4>;
}

class BandReader {
public:
    BandReader(TIFF* tiff, const TiffFields& f, std::size_t rowBytes, std::span<std::uint8_t> chunk,
               std::span<std::uint8_t> band)
        : tiff_(tiff), f_(f), bands_(bandsOf(tiff, f)), rowBytes_(rowBytes), chunk_(chunk), band_(band),
          separate_(f.planar == PLANARCONFIG_SEPARATE && f.samples > 1),
          chunkRowBytes_(separate_ ? std::size_t{bands_.width} * (f.bits / 8)
                                   : static_cast<std::size_t>((std::uint64_t{bands_.width} * f.bits * f.samples + 7) / 8))
    {
    }

    // Rows [fromY, toY), fromY at the top of a band.
    Status read(TiffRowSink& sink, std::uint32_t fromY = 0, std::uint32_t toY = UINT32_MAX)
    {
        if (bands_.width == 0 || bands_.rows == 0 || band_.size() < rowBytes_ * bands_.rows)
            return CodecError::damaged;
        const std::uint32_t planes = separate_ ? f_.samples : 1;
        const std::uint32_t end = std::min(f_.height, toY);
        for (std::uint32_t y = fromY; y < end && !sink.full(); y += bands_.rows) {
            const std::uint32_t rows = std::min(bands_.rows, f_.height - y);
            for (std::uint32_t plane = 0; plane < planes; ++plane) {
                for (std::uint32_t x = 0; x < f_.width; x += bands_.width) {
                    if (Status placed = placeChunk(x, y, rows, plane); !placed)
                        return placed;
                }
            }
            for (std::uint32_t r = 0; r < rows; ++r)
                sink.put(band_.data() + r * rowBytes_);
        }
        return {};
    }

private:
    Status placeChunk(std::uint32_t x, std::uint32_t y, std::uint32_t rows, std::uint32_t plane)
    {
        const auto size = static_cast<tmsize_t>(chunk_.size());
        const tmsize_t got =
            f_.tiled ? TIFFReadEncodedTile(tiff_, TIFFComputeTile(tiff_, x, y, 0, static_cast<std::uint16_t>(plane)),
                                           chunk_.data(), size)
                     : TIFFReadEncodedStrip(tiff_, TIFFComputeStrip(tiff_, y, static_cast<std::uint16_t>(plane)),
                                            chunk_.data(), size);
        if (got < 0 || static_cast<std::uint64_t>(got) < std::uint64_t{rows} * chunkRowBytes_)
            return CodecError::damaged;
        const std::size_t pixels = std::min(bands_.width, f_.width - x);
        if (separate_) {
            const std::size_t sampleBytes = f_.bits / 8;
            const ScatterRoutine scatter = scatterFor(f_.bits);
            const std::size_t at = (std::size_t{x} * f_.samples + plane) * sampleBytes;
            for (std::uint32_t r = 0; r < rows; ++r)
                scatter(chunk_.data() + r * chunkRowBytes_, band_.data() + r * rowBytes_ + at, pixels,
                        f_.samples * sampleBytes);
            return {};
        }
        // Tile widths are multiples of 16 pixels, so each tile starts on a byte.
        const std::size_t at = static_cast<std::size_t>(std::uint64_t{x} * f_.bits * f_.samples / 8);
        const std::size_t length = std::min(chunkRowBytes_, rowBytes_ - at);
        for (std::uint32_t r = 0; r < rows; ++r)
            std::memcpy(band_.data() + r * rowBytes_ + at, chunk_.data() + r * chunkRowBytes_, length);
        return {};
    }

    TIFF* tiff_;
    const TiffFields& f_;
    TiffBands bands_;
    std::size_t rowBytes_;
    std::span<std::uint8_t> chunk_;
    std::span<std::uint8_t> band_;
    bool separate_;
    std::size_t chunkRowBytes_;
};

// Whether every band of the range was read whole, each row put in its place.
bool readBandRange(const StripRanges& job, std::uint32_t first, std::uint32_t end)
{
    MemoryTiff memory{job.file};
    LibtiffReport report;
    TiffHandle tiff = openTiff(memory, report);
    auto work = tryAllocateArray<std::uint8_t>(job.chunkBytes + job.bandBytes + job.inkBytes);
    if (!tiff || !work)
        return false;
    const TiffFields fields = readFields(tiff.get());
    std::uint8_t* band = work.get() + job.chunkBytes;
    TiffRowSink sink(*job.image, job.routine, job.shape, job.inkProfile,
                     job.inkBytes ? band + job.bandBytes : nullptr);
    sink.startAt(static_cast<std::int32_t>(first * job.rowsPerStrip));
    BandReader reader(tiff.get(), fields, job.rowBytes, {work.get(), job.chunkBytes}, {band, job.bandBytes});
    return reader.read(sink, first * job.rowsPerStrip, end * job.rowsPerStrip).ok();
}

// false when there was no core to split the strips over, or a range fell
// short; the picture is then as allocated, for the reading in order.
bool readStripsSplit(const StripRanges& job)
{
    std::atomic<bool> split{false};
    std::atomic<bool> whole{true};
    platform::ForRowRanges(
        job.strips, static_cast<std::int64_t>(job.rowBytes * job.rowsPerStrip),
        [&](std::int64_t first, std::int64_t end) {
            if (first == 0 && end == job.strips)
                return;
            split = true;
            const auto from = static_cast<std::uint32_t>(first);
            const auto to = static_cast<std::uint32_t>(end);
            if (!(job.bandBytes ? readBandRange(job, from, to) : readStripRange(job, from, to)))
                whole = false;
        },
        job.most);
    if (split && !whole)
        std::memset(job.image->pixels.data(), 0, job.image->pixels.size());
    return split && whole;
}

// Whatever libtiff's general decode reads (YCbCr without JPEG, odd depths,
// Lab and the like), as pixels over white, or into a bgra32 picture with
// their alpha.
Status readThroughRgba(TIFF* tiff, Picture& image, const LookupTables& tables)
{
    const auto width = static_cast<std::size_t>(image.width);
    auto raster = tryAllocateArray<std::uint32_t>(width * static_cast<std::size_t>(image.height));
    if (!raster)
        return CodecError::noMemory;
    if (!TIFFReadRGBAImageOriented(tiff, static_cast<std::uint32_t>(image.width),
                                   static_cast<std::uint32_t>(image.height), raster.get(), ORIENTATION_BOTLEFT, 0))
        return CodecError::damaged;
    const bool keep = image.layout == PixelLayout::bgra32;
    for (std::size_t y = 0; y < static_cast<std::size_t>(image.height); ++y) {
        std::uint8_t* row = image.pixels.data() + y * static_cast<std::size_t>(image.stride);
        if (keep)
            UnpremultiplyAbgrRow(raster.get() + y * width, row, image.width);
        else
            CompositeAbgrRow(raster.get() + y * width, row, image.width, tables);
    }
    return {};
}

// The profile (tag 34675) when it looks whole; a CMYK one is used up on
// the pixels instead.
std::vector<std::uint8_t> iccProfileOf(TIFF* tiff)
{
    std::uint32_t count = 0;
    const void* data = nullptr;
    if (!TIFFGetField(tiff, TIFFTAG_ICCPROFILE, &count, &data) || !data || count <= 4 || count > kMaxIccProfileBytes)
        return {};
    const Bytes bytes(static_cast<const std::uint8_t*>(data), count);
    if (!IccProfileLooksWhole(bytes))
        return {};
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

// The Exif the file's own directories hold, and its XMP packet (tag 700).
void takeMetadata(TIFF* tiff, Bytes file, PictureMeta& meta)
{
    meta.exif = ExifFromTiffFile(file);
    std::uint32_t count = 0;
    const void* data = nullptr;
    if (TIFFGetField(tiff, TIFFTAG_XMLPACKET, &count, &data) && data && count <= kMaxMetadataBytes) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        meta.xmp.assign(bytes, bytes + count);
    }
}

class TiffReader {
public:
    TiffReader(Bytes file, const LookupTables& tables, const ReadLimits& limits, bool keepAlpha)
        : file_(file), tables_(tables), limits_(limits), keepAlpha_(keepAlpha)
    {
    }

    Result<Picture> read();

private:
    Status admitSize() const;
    Result<Picture> readGeneral();
    Result<Picture> readLayout(const TiffSampleLayout& layout);
    CodecError libtiffFailure() const { return report_.overLimit ? CodecError::noMemory : CodecError::damaged; }

    Bytes file_;
    const LookupTables& tables_;
    ReadLimits limits_;
    bool keepAlpha_ = false;
    MemoryTiff memory_;
    LibtiffReport report_;
    TiffHandle tiff_;
    TiffFields fields_;
};

Status TiffReader::admitSize() const
{
    if (fields_.width == 0 || fields_.height == 0)
        return CodecError::damaged;
    if (!dimensionAllowed(fields_.width) || !dimensionAllowed(fields_.height))
        return CodecError::unsupported;
    return limits_.admit(fields_.width, fields_.height);
}

Result<Picture> TiffReader::readGeneral()
{
    char message[1024] = {};
    if (!TIFFRGBAImageOK(tiff_.get(), message))
        return CodecError::unsupported;
    const std::uint64_t raster = multiplyNeeds(std::uint64_t{fields_.width} * 4, fields_.height);
    const bool keep = keepAlpha_ && fields_.alpha != TiffAlpha::none;
    if (Status claimed = limits_.claim(addNeeds(pictureNeed(fields_.width, fields_.height, keep ? 32 : 24), raster));
        !claimed)
        return claimed.error();
    Result<Picture> image = allocatePicture(static_cast<std::int32_t>(fields_.width), static_cast<std::int32_t>(fields_.height),
                                            keep ? PixelLayout::bgra32 : PixelLayout::bgr24);
    if (!image)
        return image.error();
    if (Status status = readThroughRgba(tiff_.get(), *image, tables_); !status)
        return report_.overLimit ? CodecError::noMemory : status.error();
    return std::move(image.value());
}

Result<Picture> TiffReader::readLayout(const TiffSampleLayout& layout)
{
    TIFF* tiff = tiff_.get();
    const TiffFields& f = fields_;
    const bool raw = f.compression == COMPRESSION_NONE && !f.tiled &&
                     (f.planar == PLANARCONFIG_CONTIG || f.samples == 1);
    const bool banded = f.tiled || (f.planar == PLANARCONFIG_SEPARATE && f.samples > 1);
    const std::uint64_t rowBytes = (std::uint64_t{f.width} * f.bits * f.samples + 7) / 8;
    const std::uint64_t chunkBytes = raw ? 0 : f.tiled ? TIFFTileSize64(tiff) : TIFFStripSize64(tiff);
    const TiffBands bands = bandsOf(tiff, f);
    const std::uint64_t bandBytes = banded ? multiplyNeeds(rowBytes, bands.rows) : 0;
    const std::uint64_t inkBytes = layout.outputBits == 32 ? std::uint64_t{f.width} * 4 : 0;
    const int pictureBits = layout.outputBits == 8 ? 8 : 24;
    if (!raw && chunkBytes == 0)
        return libtiffFailure();
    const std::uint64_t pictureBytes = pictureNeed(f.width, f.height, static_cast<std::uint64_t>(pictureBits));
    const std::uint64_t rangeBytes = addNeeds(addNeeds(chunkBytes, bandBytes), inkBytes);
    const std::size_t ranges = raw ? 1 : stripRangesAllowed(tiff, f, banded, rowBytes, rangeBytes, pictureBytes);
    const std::uint64_t need =
        addNeeds(addNeeds(addNeeds(pictureBytes, addNeeds(chunkBytes, bandBytes)), addNeeds(rowBytes, inkBytes)),
                 multiplyNeeds(ranges - 1, rangeBytes));
    if (Status claimed = limits_.claim(need); !claimed)
        return claimed.error();
    if (need > SIZE_MAX)
        return CodecError::noMemory;

    Palette palette{};
    if (pictureBits == 8) {
        if (Status status = buildPalette(tiff, f, palette); !status)
            return status.error();
    }
    std::vector<std::uint8_t> icc = iccProfileOf(tiff);
    std::optional<SrgbTransform> inkProfile;
    if (layout.outputBits == 32) {
        if (classifyProfile(icc) == ProfileKind::cmyk)
            inkProfile = SrgbTransform::create(icc, SrgbTransform::Input::cmyk);
        icc.clear();
    }

    if (raw) {
        if (Status covered = rawStripsCover(file_, static_cast<std::uint64_t>(rowBytes) * f.height); !covered)
            return covered.error();
    }
    Result<Picture> image = allocatePicture(static_cast<std::int32_t>(f.width), static_cast<std::int32_t>(f.height),
                                            layoutOfBits(pictureBits));
    if (!image)
        return image.error();
    image->palette = palette;
    auto work = tryAllocateArray<std::uint8_t>(static_cast<std::size_t>(chunkBytes + bandBytes + rowBytes + inkBytes));
    if (!work)
        return CodecError::noMemory;
    std::uint8_t* chunk = work.get();
    std::uint8_t* band = chunk + chunkBytes;
    std::uint8_t* partial = band + bandBytes;
    std::uint8_t* ink = inkBytes ? partial + rowBytes : nullptr;

    // libtiff hands decoded samples over in this machine's order; the raw
    // strips keep the file's.
    const bool littleEndian = raw ? !IsBigEndianTiff(file_) : std::endian::native == std::endian::little;
    const TiffRowShape shape{static_cast<std::int32_t>(f.width), f.samples, &tables_};
    TiffRowSink sink(*image, littleEndian ? layout.littleEndian : layout.bigEndian, shape,
                     inkProfile ? &*inkProfile : nullptr, ink);
    TiffRowAssembler rows(sink, {partial, static_cast<std::size_t>(rowBytes)});
    const std::span<std::uint8_t> chunkSpan(chunk, static_cast<std::size_t>(chunkBytes));
    const std::span<std::uint8_t> bandSpan(band, static_cast<std::size_t>(bandBytes));
    const StripRanges split{file_,
                            banded ? (f.height + bands.rows - 1) / bands.rows : TIFFNumberOfStrips(tiff),
                            bands.rows,
                            static_cast<std::size_t>(rowBytes),
                            static_cast<std::size_t>(chunkBytes),
                            static_cast<std::size_t>(bandBytes),
                            static_cast<std::size_t>(inkBytes),
                            ranges,
                            &*image,
                            littleEndian ? layout.littleEndian : layout.bigEndian,
                            shape,
                            inkProfile ? &*inkProfile : nullptr};
    const Status status = raw                                   ? readRawStrips(file_, rows)
                          : ranges > 1 && readStripsSplit(split) ? Status{}
                          : banded ? BandReader(tiff, f, static_cast<std::size_t>(rowBytes), chunkSpan, bandSpan).read(sink)
                                   : readEncodedStrips(tiff, chunkSpan, rows, sink);
    if (!status)
        return status.error() == CodecError::damaged ? libtiffFailure() : status.error();
    image->meta.iccProfile = std::move(icc);
    image->meta.resolution = StatedResolution(file_);
    takeMetadata(tiff, file_, image->meta);
    return std::move(image.value());
}

Result<Picture> TiffReader::read()
{
    if (Status header = CheckTiffHeader(file_); !header)
        return header.error();
    memory_.bytes = file_;
    tiff_ = openTiff(memory_, report_);
    if (!tiff_)
        return libtiffFailure();
    fields_ = readFields(tiff_.get());
    if (Status admitted = admitSize(); !admitted)
        return admitted.error();
    if (!TIFFIsCODECConfigured(fields_.compression))
        return CodecError::unsupported;
    // Kept alpha comes through the general decode, which takes every
    // layout of it; only the picture's own pixels go the faster way.
    const bool keptAlpha = keepAlpha_ && fields_.alpha != TiffAlpha::none;
    if (const TiffSampleLayout* layout = keptAlpha ? nullptr : chooseLayout(fields_))
        return readLayout(*layout);
    Result<Picture> image = readGeneral();
    if (!image)
        return image;
    image->meta.resolution = StatedResolution(file_);
    takeMetadata(tiff_.get(), file_, image->meta);
    // libtiff's general decode gives RGB: a CMYK profile no longer describes it.
    std::vector<std::uint8_t> icc = iccProfileOf(tiff_.get());
    if (classifyProfile(icc) != ProfileKind::cmyk)
        image->meta.iccProfile = std::move(icc);
    return image;
}

}  // namespace

Result<Picture> ReadTiff(ByteCursor in, const LookupTables& tables, const ReadLimits& limits, bool keepAlpha)
{
    return withoutExceptions([&]() -> Result<Picture> {
        TiffReader reader(in.whole(), tables, limits, keepAlpha);
        return reader.read();
    });
}

}  // namespace vrelk
