#include "codecs/tiff.h"

#include <tiffio.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <optional>
#include <span>

#include "codecs/decode_memory.h"
#include "codecs/icc_profile.h"
#include "codecs/metadata.h"
#include "codecs/tiff_chunks.h"
#include "codecs/tiff_file.h"
#include "codecs/tiff_rows.h"
#include "picture/checked.h"
#include "pixel/colour_manage.h"

namespace vrelk {
namespace {

using Bytes = std::span<const std::uint8_t>;

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
    const TiffBands bands = TiffBandsOf(tiff, f);
    const std::uint64_t bandBytes = banded ? multiplyNeeds(rowBytes, bands.rows) : 0;
    const std::uint64_t inkBytes = layout.outputBits == 32 ? std::uint64_t{f.width} * 4 : 0;
    const int pictureBits = layout.outputBits == 8 ? 8 : 24;
    if (!raw && chunkBytes == 0)
        return libtiffFailure();
    const std::uint64_t pictureBytes = pictureNeed(f.width, f.height, static_cast<std::uint64_t>(pictureBits));
    const std::uint64_t rangeBytes = addNeeds(addNeeds(chunkBytes, bandBytes), inkBytes);
    const std::size_t ranges = raw ? 1 : TiffRangesAllowed(tiff, f, banded, rowBytes, rangeBytes, pictureBytes);
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
    const TiffRanges split{file_,
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
                          : ranges > 1 && ReadTiffInRanges(split) ? Status{}
                          : banded ? ReadTiffBands(tiff, f, static_cast<std::size_t>(rowBytes), chunkSpan, bandSpan, sink)
                                   : ReadEncodedStrips(tiff, chunkSpan, rows, sink);
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
    tiff_ = OpenTiff(memory_, report_);
    if (!tiff_)
        return libtiffFailure();
    fields_ = ReadTiffFields(tiff_.get());
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
