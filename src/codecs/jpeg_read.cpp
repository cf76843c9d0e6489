#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "codecs/jpeg.h"
#include "codecs/exif.h"
#include "codecs/jpeg_lib.h"
#include "pixel/checked.h"
#include "pixel/orient.h"

namespace vrelk {
namespace {

constexpr JDIMENSION kRowsPerRead = 16;

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

std::int32_t pixelsPerMetre(std::uint8_t unit, UINT16 density)
{
    switch (unit) {
    case 1: return static_cast<std::int32_t>(density / 0.0254 + 0.5);
    case 2: return static_cast<std::int32_t>(density) * 100;
    default: return 0;
    }
}

// Everything one read works with, made afresh for every file.
struct JpegReader {
    JpegReadOptions options;
    DibImage image;
    std::optional<CodecError> refused;  // why decode() stopped, when it was not libjpeg
    ExifOrientation orientation = kUpright;
};


// Checked before decoding starts, so a huge or odd file allocates nothing.
bool acceptOutput(JpegReader& reader, const jpeg_decompress_struct& info)
{
    if (!dimensionsAllowed(info.output_width, info.output_height) ||
        (info.out_color_components != 1 && info.out_color_components != 3 && info.out_color_components != 4)) {
        reader.refused = CodecError::unsupported;
        return false;
    }
    return true;
}

bool allocatePixels(JpegReader& reader, const jpeg_decompress_struct& info)
{
    const bool grey = info.out_color_components == 1;
    Result<DibImage> image = allocateImage(static_cast<std::int32_t>(info.output_width),
                                           static_cast<std::int32_t>(info.output_height), grey ? 8 : 24, kFormatJpeg);
    if (!image) {
        reader.refused = image.error();
        return false;
    }
    reader.image = std::move(*image);
    if (grey)
        for (std::size_t i = 0; i < reader.image.palette.size(); ++i) {
            auto level = static_cast<std::uint8_t>(i);
            reader.image.palette[i] = RgbQuad{level, level, level, 0};
        }
    return true;
}

// The top row of the picture is the last row in memory.
std::uint8_t* pictureRow(JpegReader& reader, std::size_t stride, JDIMENSION row)
{
    const std::size_t height = static_cast<std::size_t>(reader.image.header.biHeight);
    return reader.image.pixels.data() + (height - 1 - row) * stride;
}

// One and three components arrive in the image's own layout and are
// decoded straight into its rows.
void readDirect(JpegReader& reader, jpeg_decompress_struct& info, std::size_t stride)
{
    JSAMPROW rows[kRowsPerRead];
    while (info.output_scanline < info.output_height) {
        const JDIMENSION count = std::min(kRowsPerRead, info.output_height - info.output_scanline);
        for (JDIMENSION i = 0; i < count; ++i)
            rows[i] = pictureRow(reader, stride, info.output_scanline + i);
        if (jpeg_read_scanlines(&info, rows, count) == 0)
            return;
    }
}

void readInk(JpegReader& reader, jpeg_decompress_struct& info, std::size_t stride)
{
    const InkTable& table = inkTable();
    JSAMPARRAY scanline = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                                    info.output_width * 4, 1);
    while (info.output_scanline < info.output_height) {
        const JDIMENSION row = info.output_scanline;
        if (jpeg_read_scanlines(&info, scanline, 1) == 0)
            return;
        convertInkRow(scanline[0], pictureRow(reader, stride, row), info.output_width, table);
    }
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
    jpeg_read_header(&info, TRUE);
    reader.orientation = SavedOrientation(info);
    if (info.out_color_space == JCS_RGB)
        info.out_color_space = JCS_EXT_BGR;
    if (reader.options.scaleHint)
        selectJpegScale(info, reader.options, reader.orientation);
    else
        jpeg_calc_output_dimensions(&info);
    if (!acceptOutput(reader, info) || !allocatePixels(reader, info))
        return false;

    jpeg_start_decompress(&info);
    const auto stride = static_cast<std::size_t>(rowLayout(info.output_width, 1, info.out_color_components == 1 ? 8 : 24).stride);
    if (info.out_color_components == 4)
        readInk(reader, info, stride);
    else
        readDirect(reader, info, stride);
    jpeg_finish_decompress(&info);

    reader.image.header.biXPelsPerMeter = pixelsPerMetre(info.density_unit, info.X_density);
    reader.image.header.biYPelsPerMeter = pixelsPerMetre(info.density_unit, info.Y_density);
    return true;
}

}  // namespace

Result<DibImage> ReadJpeg(ByteCursor in, const JpegReadOptions& options)
{
    JpegReader reader{options, {}, std::nullopt};
    bool decoded = false;
    {
        JpegDecoder decoder;
        decoded = decode(reader, decoder, in.whole());
    }
    if (!decoded)
        return reader.refused.value_or(CodecError::badData);
    if (!orientImage(reader.image, reader.orientation))
        return CodecError::noMemory;
    return std::move(reader.image);
}

}  // namespace vrelk
