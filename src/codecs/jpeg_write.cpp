#include <algorithm>
#include <array>
#include <new>
#include <optional>
#include <stdexcept>

#include "codecs/exif.h"
#include "codecs/files.h"
#include "codecs/jpeg.h"
#include "codecs/jpeg_lib.h"
#include "pixel/checked.h"
#include "pixel/convert.h"

namespace vrelk {
namespace {

constexpr JDIMENSION kRowsPerWrite = 16;

struct SamplingFactors {
    int horizontal;
    int vertical;
};

// By the Sampling setting; other values take the first entry.
constexpr std::array<SamplingFactors, 3> kSampling{{{2, 2}, {2, 1}, {1, 1}}};

// The image's pixels as 24-bit rows: its own when they already are, else
// `converted` filled through the palette.
Result<const std::uint8_t*> pixels24(const ImageView& image, PageBuffer& converted)
{
    if (image.width < 1 || image.height < 1)
        return CodecError::unsupported;
    const RowLayout source = rowLayout(image.width, image.height, image.bitCount);
    if (!image.palette || image.pixels.size() < static_cast<std::uint64_t>(source.imageSize))
        return CodecError::writeFailed;
    if (image.bitCount == 24)
        return image.pixels.data();

    PixelConverter converter;
    converter.width = image.width;
    converter.height = image.height;
    converter.sourceBits = image.bitCount;
    converter.targetBits = 24;
    converter.computeLayout();
    converted = PageBuffer::allocate(static_cast<std::size_t>(converter.imageSize));
    if (!converted)
        return CodecError::noMemory;
    if (!convertPixels(nullptr, converted.data(), converter, image.palette->data(), image.pixels.data()))
        return CodecError::writeFailed;
    return static_cast<const std::uint8_t*>(converted.data());
}

// What one encoding works with.
struct JpegJob {
    std::int32_t width;
    std::int32_t height;
    const std::uint8_t* pixels;  // 24-bit rows
    JpegEncoding encoding;
};

// Where an encoding goes: a file, or a growing memory buffer.
struct JpegOutput {
    OutputFile* file = nullptr;
    std::vector<std::uint8_t>* memory = nullptr;
    std::size_t* length = nullptr;
};

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

// Sets the jump target: everything here that libjpeg can leave early is
// owned by the encoder or the caller.
bool compress(const JpegJob& job, JpegEncoder& encoder, const JpegOutput& output)
{
    jpeg_compress_struct& info = encoder.info;
    if (setjmp(encoder.error.jump))
        return false;
    jpeg_create_compress(&info);
    if (output.memory)
        InstallMemoryDestination(info, *output.memory);
    else
        InstallFileDestination(info, *output.file);

    info.image_width = static_cast<JDIMENSION>(job.width);
    info.image_height = static_cast<JDIMENSION>(job.height);
    info.input_components = 3;
    info.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&info);
    info.optimize_coding = TRUE;
    info.comp_info[0].h_samp_factor = job.encoding.horizontalSampling;
    info.comp_info[0].v_samp_factor = job.encoding.verticalSampling;
    jpeg_set_quality(&info, job.encoding.quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    writeRows(info, job.pixels, static_cast<std::size_t>(rowLayout(job.width, 1, 24).stride));
    jpeg_finish_compress(&info);
    if (output.memory)
        *output.length = MemoryDestinationLength(info);
    return true;
}

bool encode(const JpegJob& job, const JpegOutput& output)
{
    JpegEncoder encoder;
    return compress(job, encoder, output);
}

bool encodeToMemory(const JpegJob& job, std::vector<std::uint8_t>& buffer, std::size_t& length)
{
    return encode(job, JpegOutput{nullptr, &buffer, &length});
}

// The picture's orientation is all the re-encode keeps of the Exif data:
// without it a phone photo would show on its side, and nothing else (place,
// camera, times) is carried over.
void writeOrientation(jpeg_compress_struct& target, ExifOrientation orientation)
{
    if (orientation == kUpright)
        return;
    const auto exif = exifWithOrientation(orientation);
    jpeg_write_marker(&target, JPEG_APP0 + 1, exif.data(), static_cast<unsigned>(exif.size()));
}

bool transcode(JpegTranscoder& transcoder, std::span<const std::uint8_t> input, OutputFile& output,
               std::optional<CodecError>& refused)
{
    if (setjmp(transcoder.error.jump))
        return false;
    jpeg_create_decompress(&transcoder.source);
    jpeg_create_compress(&transcoder.target);
    InstallScanLimit(transcoder.source, kJpegMaxScans);
    InstallMemorySource(transcoder.source, input);
    KeepExifSegments(transcoder.source);
    jpeg_read_header(&transcoder.source, TRUE);
    // Coefficients are held for the whole picture: the reader's size limit
    // keeps a hostile header from asking for gigabytes.
    if (transcoder.source.image_width > kMaxDimension || transcoder.source.image_height > kMaxDimension) {
        refused = CodecError::unsupported;
        return false;
    }
    jvirt_barray_ptr* coefficients = jpeg_read_coefficients(&transcoder.source);
    jpeg_copy_critical_parameters(&transcoder.source, &transcoder.target);
    transcoder.target.optimize_coding = TRUE;
    InstallFileDestination(transcoder.target, output);
    jpeg_write_coefficients(&transcoder.target, coefficients);
    writeOrientation(transcoder.target, SavedOrientation(transcoder.source));
    jpeg_finish_compress(&transcoder.target);
    jpeg_finish_decompress(&transcoder.source);
    return true;
}

// A trial's buffer that can grow without throwing.
bool resizeBuffer(std::vector<std::uint8_t>& buffer, std::size_t size)
{
    try {
        buffer.resize(size);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}

bool copyBuffer(std::vector<std::uint8_t>& to, std::span<const std::uint8_t> from)
{
    try {
        to.assign(from.begin(), from.end());
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace

JpegEncoding jpegEncoding(std::int32_t quality, std::int32_t sampling)
{
    JpegEncoding encoding;
    encoding.quality = quality <= 100 ? quality : 75;
    const bool known = sampling >= 0 && sampling < static_cast<std::int32_t>(kSampling.size());
    const SamplingFactors& factors = kSampling[known ? static_cast<std::size_t>(sampling) : 0];
    encoding.horizontalSampling = factors.horizontal;
    encoding.verticalSampling = factors.vertical;
    return encoding;
}

Status WriteJpeg(const ImageView& image, const platform::Path& path, const JpegEncoding& encoding)
{
    PageBuffer converted;
    Result<const std::uint8_t*> rows = pixels24(image, converted);
    if (!rows)
        return rows.error();
    Result<OutputFile> out = OutputFile::create(path);
    if (!out)
        return out.error();
    const bool encoded = encode(JpegJob{image.width, image.height, *rows, encoding}, JpegOutput{&*out, nullptr, nullptr});
    Status finished = out->finish();
    if (!finished)
        return finished;
    return encoded ? Status{} : Status{CodecError::writeFailed};
}

Status EncodeJpegToMemory(const ImageView& image, const JpegEncoding& encoding, std::vector<std::uint8_t>& buffer,
                          std::size_t& length)
{
    PageBuffer converted;
    Result<const std::uint8_t*> rows = pixels24(image, converted);
    if (!rows)
        return rows.error();
    if (!encodeToMemory(JpegJob{image.width, image.height, *rows, encoding}, buffer, length))
        return CodecError::writeFailed;
    return {};
}

std::int32_t SearchJpegQuality(std::int64_t limit, const JpegTrial& encodeAt)
{
    std::size_t length = 0;
    auto fits = [&] { return static_cast<std::int64_t>(length) <= limit; };
    if (!encodeAt(100, length))
        return 0;
    if (fits())
        return 100;

    // Each fitting trial halves the step and tries that far below the
    // lowest quality found too large; too-large trials walk down by the
    // step, and one at a time below 7.
    std::int32_t highest = 100;
    std::int32_t base = 100;
    std::int32_t step = 31;
    std::int32_t quality = 69;
    std::int32_t lastFitting = 0;
    for (;;) {
        if (!encodeAt(quality, length))
            return 0;
        if (!fits()) {
            base = highest = quality;
            if (quality == 7)
                step = 1;
        } else {
            lastFitting = quality;
            if (step == 1)
                return quality;
            step /= 2;
            base = highest;
        }
        const std::int32_t next = base - step;
        if (next < 1)
            return lastFitting ? lastFitting : quality;
        quality = next;
    }
}

Status WriteJpegWithLimit(const ImageView& image, const platform::Path& path, const JpegEncoding& encoding,
                          std::int32_t kilobytes, JpegSearchRecord* record)
{
    return WriteJpegWithByteLimit(image, path, encoding, std::int64_t{kilobytes} * 1024, record);
}

Status WriteJpegWithByteLimit(const ImageView& image, const platform::Path& path, const JpegEncoding& encoding,
                              std::int64_t limit, JpegSearchRecord* record)
{
    PageBuffer converted;
    Result<const std::uint8_t*> rows = pixels24(image, converted);
    if (!rows)
        return rows.error();

    // Trials go into `trial`, which grows when an encoding is larger than
    // it; the last one that fitted is kept apart, since the search can end
    // on a larger trial after one fitted.
    std::vector<std::uint8_t> trial;
    std::vector<std::uint8_t> fitted;
    std::size_t trialLength = 0;
    bool anyFitted = false;
    bool outOfMemory = false;
    const auto uncompressed = static_cast<std::uint64_t>(rowLayout(image.width, image.height, 24).imageSize);
    const std::uint64_t target = limit > 0 ? static_cast<std::uint64_t>(limit) : 0;
    if (!resizeBuffer(trial, static_cast<std::size_t>(std::min(uncompressed, std::max<std::uint64_t>(2 * target, 1u << 20)))))
        return CodecError::noMemory;

    JpegSearchRecord search;
    JpegJob job{image.width, image.height, *rows, encoding};
    JpegTrial encodeAt = [&](std::int32_t quality, std::size_t& length) {
        search.qualitiesTried.push_back(quality);
        job.encoding.quality = quality;
        if (!encodeToMemory(job, trial, length))
            return false;
        trialLength = length;
        if (static_cast<std::int64_t>(length) > limit)
            return true;
        if (!copyBuffer(fitted, std::span<const std::uint8_t>(trial.data(), length))) {
            outOfMemory = true;
            return false;
        }
        anyFitted = true;
        return true;
    };
    search.writtenQuality = SearchJpegQuality(limit, encodeAt);
    if (record)
        *record = search;
    if (search.writtenQuality == 0)
        return outOfMemory ? CodecError::noMemory : CodecError::writeFailed;

    std::span<const std::uint8_t> kept = anyFitted ? std::span<const std::uint8_t>(fitted)
                                                   : std::span<const std::uint8_t>(trial.data(), trialLength);
    Result<OutputFile> out = OutputFile::create(path);
    if (!out)
        return out.error();
    out->write(kept);
    return out->finish();
}

Status RecodeJpeg(ByteCursor in, const platform::Path& output)
{
    Result<OutputFile> out = OutputFile::create(output);
    if (!out)
        return out.error();
    std::optional<CodecError> refused;
    bool recoded = false;
    {
        JpegTranscoder transcoder;
        recoded = transcode(transcoder, in.whole(), *out, refused);
    }
    Status finished = out->finish();
    if (!recoded)
        return refused.value_or(out->failed() ? CodecError::writeFailed : CodecError::badData);
    return finished;
}

}  // namespace vrelk
