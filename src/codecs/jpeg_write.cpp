#include <algorithm>
#include <array>

#include "codecs/files.h"
#include "codecs/jpeg.h"
#include "codecs/jpeg_encode.h"
#include "codecs/jpeg_icc.h"
#include "codecs/jpeg_lib.h"
#include "pixel/bit_depth.h"
#include "platform/platform.h"

namespace vrelk {
namespace {

// JFIF states dots per inch or per centimetre, in 16 bits; a resolution
// given per metre (BMP, PNG) is written per inch, as viewers show it.
void setDensity(jpeg_compress_struct& info, const Resolution& resolution)
{
    if (resolution.unit == DensityUnit::none || resolution.xPerMetre <= 0 || resolution.yPerMetre <= 0)
        return;
    const bool perCentimetre = resolution.unit == DensityUnit::perCentimetre;
    const auto density = [perCentimetre](std::int32_t perMetre) {
        return perCentimetre ? (std::int64_t{perMetre} + 50) / 100 : (std::int64_t{perMetre} * 254 + 5000) / 10000;
    };
    const std::int64_t x = density(resolution.xPerMetre);
    const std::int64_t y = density(resolution.yPerMetre);
    if (x < 1 || y < 1 || x > 0xFFFF || y > 0xFFFF)
        return;
    info.density_unit = perCentimetre ? 2 : 1;
    info.X_density = static_cast<UINT16>(x);
    info.Y_density = static_cast<UINT16>(y);
}

constexpr JDIMENSION kRowsPerWrite = 16;

struct SamplingFactors {
    int horizontal;
    int vertical;
};

// By the Sampling setting; other values take the first entry.
constexpr std::array<SamplingFactors, 3> kSampling{{{2, 2}, {2, 1}, {1, 1}}};

void writeRows(jpeg_compress_struct& info, const std::uint8_t* pixels, std::size_t stride)
{
    // The top row of the picture is the last row in memory.
    const std::uint8_t* top = pixels + (info.image_height - 1) * stride;
    JSAMPROW rows[kRowsPerWrite];
    while (info.next_scanline < info.image_height) {
        const JDIMENSION count = std::min(kRowsPerWrite, info.image_height - info.next_scanline);
        for (JDIMENSION i = 0; i < count; ++i)
            rows[i] = const_cast<JSAMPROW>(top - (info.next_scanline + i) * stride);
        if (jpeg_write_scanlines(&info, rows, count) == 0)
            return;
    }
}

void writePlanes(jpeg_compress_struct& info, const ComponentPlanes& planes)
{
    std::array<std::array<JSAMPROW, 16>, 3> rows{};
    std::array<JSAMPARRAY, 3> components{rows[0].data(), rows[1].data(), rows[2].data()};
    for (std::size_t imcu = 0; info.next_scanline < info.image_height; ++imcu) {
        for (std::size_t c = 0; c < 3; ++c) {
            const std::size_t count = c == 0 ? static_cast<std::size_t>(planes.rowsPerImcu) : 8;
            for (std::size_t i = 0; i < count; ++i)
                rows[c][i] = const_cast<JSAMPROW>(planes.row(c, imcu * count + i));
        }
        if (jpeg_write_raw_data(&info, components.data(), static_cast<JDIMENSION>(planes.rowsPerImcu)) == 0)
            return;
    }
}

// Sets the jump target: everything here that libjpeg can leave early is
// owned by the encoder or the caller.
bool compress(const JpegJob& job, JpegEncoder& encoder, const JpegOutput& output)
{
    jpeg_compress_struct& info = encoder.info;
    if (setjmp(encoder.error.jump)) {
        if (output.stopped)
            *output.stopped = MemoryDestinationStopped(info);
        if (output.outputDone)
            *output.outputDone = OutputPassDone(info);
        return false;
    }
    jpeg_create_compress(&info);
    if (output.cancel)
        InstallTrialProgress(info, *output.cancel);
    if (output.memory)
        InstallMemoryDestination(info, *output.memory, output.stopAfter);
    else
        InstallFileDestination(info, *output.file);

    info.image_width = static_cast<JDIMENSION>(job.width);
    info.image_height = static_cast<JDIMENSION>(job.height);
    info.input_components = 3;
    info.in_color_space = job.planes ? JCS_YCbCr : JCS_EXT_BGR;
    jpeg_set_defaults(&info);
    info.raw_data_in = job.planes ? TRUE : FALSE;
    info.optimize_coding = TRUE;
    info.comp_info[0].h_samp_factor = job.encoding.horizontalSampling;
    info.comp_info[0].v_samp_factor = job.encoding.verticalSampling;
    jpeg_set_quality(&info, job.encoding.quality, TRUE);
    setDensity(info, job.resolution);
    jpeg_start_compress(&info, TRUE);
    WriteMetadataSegments(info, job.exif, job.xmp);
    WriteIccProfile(info, job.iccProfile);
    if (job.planes)
        writePlanes(info, *job.planes);
    else
        writeRows(info, job.pixels, static_cast<std::size_t>(rowLayout(job.width, 1, 24).stride));
    jpeg_finish_compress(&info);
    if (output.memory)
        *output.length = MemoryDestinationLength(info);
    return true;
}

}  // namespace

bool encodeJpeg(const JpegJob& job, const JpegOutput& output)
{
    JpegEncoder encoder;
    return compress(job, encoder, output);
}

JpegEncoding jpegEncoding(std::int32_t quality, std::int32_t sampling)
{
    JpegEncoding encoding;
    encoding.quality = quality <= kHighestQuality ? quality : kDefaultQuality;
    const bool known = sampling >= 0 && sampling < static_cast<std::int32_t>(kSampling.size());
    const SamplingFactors& factors = kSampling[known ? static_cast<std::size_t>(sampling) : 0];
    encoding.horizontalSampling = factors.horizontal;
    encoding.verticalSampling = factors.vertical;
    return encoding;
}

static Status writeJpegBody(const ImageView& image, const platform::Path& path, const JpegEncoding& encoding)
{
    PageBuffer converted;
    Result<const std::uint8_t*> rows = Pixels24(image, converted);
    if (!rows)
        return rows.error();
    Result<OutputFile> out = OutputFile::create(path);
    if (!out)
        return out.error();
    const bool encoded = encodeJpeg(JpegJob{image.width, image.height, *rows, encoding, nullptr, image.iccProfile, image.exif, image.xmp,
                image.resolution}, JpegOutput{&*out, nullptr, nullptr});
    Status finished = out->finish();
    if (!finished)
        return finished;
    return encoded ? Status{} : Status{CodecError::cannotWrite};
}

Status WriteJpeg(const ImageView& image, const platform::Path& path, const JpegEncoding& encoding)
{
    return withoutExceptions([&] { return writeJpegBody(image, path, encoding); });
}

}  // namespace vrelk
