#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "codecs/jpeg.h"
#include "codecs/decode_memory.h"
#include "codecs/exif.h"
#include "codecs/jpeg_icc.h"
#include "codecs/jpeg_lib.h"
#include "picture/checked.h"
#include "pixel/colour_manage.h"
#include "pixel/orient.h"

namespace vrelk {
namespace {

constexpr JDIMENSION kRowsPerRead = 16;
// A picture stored on its side is placed in strips this tall, so that each
// upright row receives a few whole cache lines at a time.
constexpr JDIMENSION kStripRows = 64;

// Adobe four-component files decode to inverted ink amounts; a channel is
// its own value weighted by the black one: floor(x * k / 255).
using InkTable = std::array<std::uint8_t, 256 * 256>;

const InkTable& inkTable()
{
    static const InkTable table = [] {
        InkTable built{};
        for (unsigned k = 0; k < 256; ++k)
            for (unsigned x = 0; x < 256; ++x)
                built[k * 256 + x] = static_cast<std::uint8_t>(x * k / 255);
        return built;
    }();
    return table;
}

void convertInkRow(const JSAMPLE* source, std::uint8_t* target, JDIMENSION width, const InkTable& table)
{
    for (JDIMENSION x = 0; x < width; ++x, source += 4, target += 3) {
        const std::uint8_t* byBlack = table.data() + source[3] * 256;
        target[0] = byBlack[source[2]];
        target[1] = byBlack[source[1]];
        target[2] = byBlack[source[0]];
    }
}

unsigned scaleDenominator(std::uint32_t ratio)
{
    static constexpr std::array<unsigned, 8> kByRatio{1, 1, 2, 2, 4, 4, 4, 4};
    return ratio >= kByRatio.size() ? 8 : kByRatio[ratio];
}

// The wanted size is the size the user sees, so a picture stored on its
// side is measured turned upright.
void selectJpegScale(jpeg_decompress_struct& info, const JpegReadOptions& options, ExifOrientation orientation)
{
    const bool turned = orientationTransposes(orientation);
    const std::uint32_t uprightWidth = turned ? info.image_height : info.image_width;
    const std::uint32_t uprightHeight = turned ? info.image_width : info.image_height;
    std::uint32_t ratioWidth = uprightWidth / std::max<std::uint32_t>(options.wantedWidth, 1);
    std::uint32_t ratioHeight = uprightHeight / std::max<std::uint32_t>(options.wantedHeight, 1);
    info.scale_num = 1;
    info.scale_denom = scaleDenominator(std::min(ratioWidth, ratioHeight));
    jpeg_calc_output_dimensions(&info);
}

// The JFIF density unit: 1 dots per inch, 2 per centimetre, else none.
DensityUnit densityUnit(std::uint8_t unit)
{
    constexpr std::array<DensityUnit, 3> kUnits{DensityUnit::none, DensityUnit::perInch, DensityUnit::perCentimetre};
    return unit < kUnits.size() ? kUnits[unit] : DensityUnit::none;
}

// Everything one read works with, made afresh for every file.
struct JpegReader {
    JpegReadOptions options;
    Picture image;
    std::optional<CodecError> refused;  // why decode() stopped, when it was not libjpeg
    ExifOrientation orientation = kUpright;
    // Four-component pixels go through the file's CMYK profile when it
    // has one, else through the fixed ink rule.
    std::optional<SrgbTransform> inkProfile = std::nullopt;
};


// Checked before decoding starts, so a huge or odd file allocates nothing.
bool acceptOutput(JpegReader& reader, const jpeg_decompress_struct& info)
{
    if (Status admitted = reader.options.limits.admit(info.output_width, info.output_height); !admitted) {
        reader.refused = admitted.error();
        return false;
    }
    if (info.out_color_components != 1 && info.out_color_components != 3 && info.out_color_components != 4) {
        reader.refused = CodecError::unsupported;
        return false;
    }
    return true;
}

// The picture, what libjpeg keeps (the whole frame's coefficients for a
// progressive file) and the strip or ink rows of the reader.
bool claimMemory(JpegReader& reader, jpeg_decompress_struct& info)
{
    const bool grey = info.out_color_components == 1;
    const std::uint64_t library = JpegLibraryNeed(info, jpeg_has_multiple_scans(&info));
    const std::uint64_t rows = multiplyNeeds(std::uint64_t{info.output_width} * 4, kStripRows + kRowsPerRead);
    const std::uint64_t need = addNeeds(addNeeds(pictureNeed(info.output_width, info.output_height, grey ? 8 : 24),
                                                 library), rows);
    if (Status claimed = reader.options.limits.claim(need); !claimed) {
        reader.refused = claimed.error();
        return false;
    }
    CapJpegMemory(info, library);
    return true;
}

// The image is allocated at its upright size.
bool allocatePixels(JpegReader& reader, const jpeg_decompress_struct& info)
{
    const bool grey = info.out_color_components == 1;
    const bool turned = orientationTransposes(reader.orientation);
    const auto width = static_cast<std::int32_t>(turned ? info.output_height : info.output_width);
    const auto height = static_cast<std::int32_t>(turned ? info.output_width : info.output_height);
    Result<Picture> image = allocatePicture(width, height, grey ? PixelLayout::grey8 : PixelLayout::bgr24);
    if (!image) {
        reader.refused = image.error();
        return false;
    }
    reader.image = std::move(*image);
    return true;
}

// The top row of the picture is the last row in memory.
std::uint8_t* pictureRow(JpegReader& reader, std::size_t stride, JDIMENSION row)
{
    const std::size_t height = static_cast<std::size_t>(reader.image.height);
    return reader.image.pixels.data() + (height - 1 - row) * stride;
}

JSAMPARRAY imageRows(jpeg_decompress_struct& info, JDIMENSION rowBytes, JDIMENSION rows)
{
    return (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE, rowBytes, rows);
}

// Rows arrive in the image's own layout, except Adobe four-component ones,
// which are converted on the way. An upright picture is decoded straight
// into its rows; one stored on its side goes through a strip of rows that
// is then placed upright.
void readRows(JpegReader& reader, jpeg_decompress_struct& info)
{
    const int bits = reader.image.bits();
    const bool upright = reader.orientation == kUpright;
    const bool ink = info.out_color_components == 4;
    const JDIMENSION width = info.output_width;
    const auto stride = static_cast<std::size_t>(rowLayout(width, 1, bits).stride);
    const UprightPlacement placement = uprightPlacement(static_cast<std::int32_t>(width),
                                                        static_cast<std::int32_t>(info.output_height), bits,
                                                        reader.orientation);
    // The placement reads a byte past each strip row's last pixel.
    const JDIMENSION rowsAtOnce = upright ? kRowsPerRead : kStripRows;
    JSAMPARRAY strip = upright ? nullptr : imageRows(info, width * static_cast<JDIMENSION>(bits / 8) + 1, kStripRows);
    JSAMPARRAY inkRows = ink ? imageRows(info, width * 4, rowsAtOnce) : nullptr;
    const InkTable* table = ink ? &inkTable() : nullptr;

    // libjpeg hands over a row or two per call; a strip is filled whole
    // before it is placed, so that the placement writes runs, not pixels.
    JSAMPROW targets[kStripRows];
    while (info.output_scanline < info.output_height) {
        const JDIMENSION first = info.output_scanline;
        const JDIMENSION count = std::min(rowsAtOnce, info.output_height - first);
        for (JDIMENSION i = 0; i < count; ++i)
            targets[i] = upright ? pictureRow(reader, stride, first + i) : strip[i];
        JDIMENSION filled = 0;
        while (filled < count) {
            const JDIMENSION got = jpeg_read_scanlines(&info, ink ? inkRows + filled : targets + filled, count - filled);
            if (got == 0)
                break;
            for (JDIMENSION i = filled; ink && i < filled + got; ++i) {
                if (reader.inkProfile)
                    reader.inkProfile->convert(inkRows[i], targets[i], width);
                else
                    convertInkRow(inkRows[i], targets[i], width, *table);
            }
            filled += got;
        }
        if (!upright && filled > 0)
            placeStoredRows(placement, std::span<const std::uint8_t* const>(targets, filled),
                            static_cast<std::int32_t>(first), reader.image.pixels.data());
        if (filled < count)
            return;
    }
}

// A CMYK profile is used up by the decode, which gives sRGB; any other
// goes along with the image.
void takeProfile(JpegReader& reader, const jpeg_decompress_struct& info, std::vector<std::uint8_t> icc)
{
    if (info.out_color_components != 4) {
        reader.image.meta.iccProfile = std::move(icc);
        return;
    }
    if (classifyProfile(icc) == ProfileKind::cmyk)
        reader.inkProfile = SrgbTransform::create(
            icc, info.saw_Adobe_marker ? SrgbTransform::Input::invertedCmyk : SrgbTransform::Input::cmyk);
}

// Sets the jump target: everything here that libjpeg can leave early is
// owned by the decoder or the reader.
bool decode(JpegReader& reader, JpegDecoder& decoder, std::span<const std::uint8_t> input)
{
    jpeg_decompress_struct& info = decoder.info;
    if (setjmp(decoder.error.jump))
        return false;
    jpeg_create_decompress(&info);
    InstallScanLimit(info, kJpegMaxScans);
    InstallMemorySource(info, input);
    KeepExifSegments(info);
    KeepIccSegments(info);
    jpeg_read_header(&info, TRUE);
    reader.orientation = SavedOrientation(info);
    if (info.out_color_space == JCS_RGB)
        info.out_color_space = JCS_EXT_BGR;
    if (reader.options.scaleHint)
        selectJpegScale(info, reader.options, reader.orientation);
    else
        jpeg_calc_output_dimensions(&info);
    if (!acceptOutput(reader, info) || !claimMemory(reader, info) || !allocatePixels(reader, info))
        return false;
    takeProfile(reader, info, SavedIccProfile(info));
    // The saved segments go with the image pool when decoding finishes.
    TakeSavedMetadata(info, reader.image.meta);

    jpeg_start_decompress(&info);
    readRows(reader, info);
    jpeg_finish_decompress(&info);

    const bool turned = orientationTransposes(reader.orientation);
    const DensityUnit unit = densityUnit(info.density_unit);
    reader.image.meta.resolution = {pixelsPerMetre(turned ? info.Y_density : info.X_density, 1, unit),
                                    pixelsPerMetre(turned ? info.X_density : info.Y_density, 1, unit), unit};
    reader.image.meta.orientation = reader.orientation;
    reader.image.meta.shownUpright = reader.orientation != kUpright;
    return true;
}

}  // namespace

static Result<Picture> readJpegBody(ByteCursor in, const JpegReadOptions& options)
{
    JpegReader reader{options, {}, std::nullopt};
    bool decoded = false;
    CodecError failure = CodecError::damaged;
    {
        JpegDecoder decoder;
        decoded = decode(reader, decoder, in.whole());
        if (!decoded)
            failure = reader.refused.value_or(JpegFailureOf(decoder.error));
    }
    if (!decoded)
        return failure;
    return std::move(reader.image);
}

Result<Picture> ReadJpeg(ByteCursor in, const JpegReadOptions& options)
{
    return withoutExceptions([&] { return readJpegBody(in, options); });
}

}  // namespace vrelk
