#include <algorithm>
#include <array>
#include <new>

#include "codecs/codec_file.h"
#include "codecs/jpeg.h"
#include "codecs/jpeg_lib.h"
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

bool fail(CodecObject& codec, CodecErrorCode code)
{
    codec.errorCode = code;
    return false;
}

// The writer's pixels as 24-bit rows: the caller's when they already are,
// else the conversion buffer filled through the palette. Null on failure.
const std::uint8_t* pixels24(JpegWriter& writer, const Palette& palette, std::span<const std::uint8_t> pixels)
{
    if (writer.width < 1 || writer.height < 1) {
        fail(writer, kCodecUnsupported);
        return nullptr;
    }
    const RowLayout source = rowLayout(writer.width, writer.height, writer.sourceBits);
    if (pixels.size() < static_cast<std::uint64_t>(source.imageSize)) {
        fail(writer, kCodecWriteFailed);
        return nullptr;
    }
    if (writer.sourceBits == 24)
        return pixels.data();

    writer.targetBits = 24;
    writer.computeLayout();
    writer.converted = PageBuffer::allocate(static_cast<std::size_t>(writer.imageSize));
    if (!writer.converted) {
        fail(writer, kCodecNoMemory);
        return nullptr;
    }
    if (!convertPixels(nullptr, writer.converted.data(), writer, palette.data(), pixels.data())) {
        fail(writer, kCodecWriteFailed);
        return nullptr;
    }
    return writer.converted.data();
}

// Where an encoding goes: a file, or a growing memory buffer.
struct JpegOutput {
    platform::File* file = nullptr;
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
bool compress(const JpegWriter& writer, JpegEncoder& encoder, const std::uint8_t* pixels, const JpegOutput& output)
{
    jpeg_compress_struct& info = encoder.info;
    if (setjmp(encoder.error.jump))
        return false;
    jpeg_create_compress(&info);
    if (output.memory)
        InstallMemoryDestination(info, *output.memory);
    else
        InstallFileDestination(info, *output.file);

    info.image_width = static_cast<JDIMENSION>(writer.width);
    info.image_height = static_cast<JDIMENSION>(writer.height);
    info.input_components = 3;
    info.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&info);
    info.optimize_coding = TRUE;
    info.comp_info[0].h_samp_factor = writer.horizontalSampling;
    info.comp_info[0].v_samp_factor = writer.verticalSampling;
    jpeg_set_quality(&info, writer.quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    writeRows(info, pixels, static_cast<std::size_t>(rowLayout(writer.width, 1, 24).stride));
    jpeg_finish_compress(&info);
    if (output.memory)
        *output.length = MemoryDestinationLength(info);
    return true;
}

bool encode(const JpegWriter& writer, const std::uint8_t* pixels, const JpegOutput& output)
{
    JpegEncoder encoder;
    return compress(writer, encoder, pixels, output);
}

bool encodeToMemory(JpegWriter& writer, const std::uint8_t* pixels, std::vector<std::uint8_t>& buffer,
                    std::size_t& length)
{
    return encode(writer, pixels, JpegOutput{nullptr, &buffer, &length});
}

bool transcode(JpegTranscoder& transcoder, std::span<const std::uint8_t> input, platform::File& output,
               JpegRecoder& recoder)
{
    if (setjmp(transcoder.error.jump))
        return false;
    jpeg_create_decompress(&transcoder.source);
    jpeg_create_compress(&transcoder.target);
    InstallMemorySource(transcoder.source, input);
    jpeg_read_header(&transcoder.source, TRUE);
    // Coefficients are held for the whole picture: the reader's size limit
    // keeps a hostile header from asking for gigabytes.
    if (transcoder.source.image_width > kJpegMaxDimension || transcoder.source.image_height > kJpegMaxDimension)
        return fail(recoder, kCodecUnsupported);
    jvirt_barray_ptr* coefficients = jpeg_read_coefficients(&transcoder.source);
    jpeg_copy_critical_parameters(&transcoder.source, &transcoder.target);
    transcoder.target.optimize_coding = TRUE;
    InstallFileDestination(transcoder.target, output);
    jpeg_write_coefficients(&transcoder.target, coefficients);
    jpeg_finish_compress(&transcoder.target);
    jpeg_finish_decompress(&transcoder.source);
    return true;
}

}  // namespace

void JpegWriter::resetForWrite()
{
    quality = 75;
    horizontalSampling = 2;
    verticalSampling = 2;
    converted.reset();
    qualitiesTried.clear();
    writtenQuality = 0;
}

void SetJpegOptions(JpegWriter& writer, std::int32_t quality, std::int32_t sampling)
{
    writer.quality = quality <= 100 ? quality : 75;
    const bool known = sampling >= 0 && sampling < static_cast<std::int32_t>(kSampling.size());
    const SamplingFactors& factors = kSampling[known ? static_cast<std::size_t>(sampling) : 0];
    writer.horizontalSampling = factors.horizontal;
    writer.verticalSampling = factors.vertical;
}

bool EncodeJpeg(JpegWriter& writer, const platform::Path& path, const Palette& palette,
                std::span<const std::uint8_t> pixels)
{
    const std::uint8_t* rows = pixels24(writer, palette, pixels);
    if (!rows || !CreateOutputFile(path, writer))
        return false;
    return encode(writer, rows, JpegOutput{&writer.outputFile, nullptr, nullptr});
}

bool EncodeJpegToMemory(JpegWriter& writer, const Palette& palette, std::span<const std::uint8_t> pixels,
                        std::vector<std::uint8_t>& buffer, std::size_t& length)
{
    const std::uint8_t* rows = pixels24(writer, palette, pixels);
    return rows && encodeToMemory(writer, rows, buffer, length);
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

bool WriteJpegWithLimit(JpegWriter& writer, const platform::Path& path, const Palette& palette,
                        std::span<const std::uint8_t> pixels, std::int32_t kilobytes)
{
    return WriteJpegWithByteLimit(writer, path, palette, pixels, std::int64_t{kilobytes} * 1024);
}

bool WriteJpegWithByteLimit(JpegWriter& writer, const platform::Path& path, const Palette& palette,
                            std::span<const std::uint8_t> pixels, std::int64_t limit)
{
    const std::uint8_t* rows = pixels24(writer, palette, pixels);
    if (!rows)
        return false;

    // Trials go into `trial`, which grows when an encoding is larger than
    // it; the last one that fitted is kept apart, since the search can end
    // on a larger trial after one fitted.
    std::vector<std::uint8_t> trial;
    std::vector<std::uint8_t> fitted;
    std::size_t trialLength = 0;
    bool anyFitted = false;
    const auto uncompressed = static_cast<std::uint64_t>(rowLayout(writer.width, writer.height, 24).imageSize);
    const std::uint64_t target = limit > 0 ? static_cast<std::uint64_t>(limit) : 0;
    try {
        trial.resize(static_cast<std::size_t>(std::min(uncompressed, std::max<std::uint64_t>(2 * target, 1u << 20))));
    } catch (const std::bad_alloc&) {
        return fail(writer, kCodecNoMemory);
    }

    writer.qualitiesTried.clear();
    const std::int32_t userQuality = writer.quality;
    JpegTrial encodeAt = [&](std::int32_t quality, std::size_t& length) {
        writer.qualitiesTried.push_back(quality);
        writer.quality = quality;
        if (!encodeToMemory(writer, rows, trial, length))
            return false;
        trialLength = length;
        if (static_cast<std::int64_t>(length) > limit)
            return true;
        try {
            fitted.assign(trial.begin(), trial.begin() + static_cast<std::ptrdiff_t>(length));
        } catch (const std::bad_alloc&) {
            return fail(writer, kCodecNoMemory);
        }
        anyFitted = true;
        return true;
    };
    writer.writtenQuality = SearchJpegQuality(limit, encodeAt);
    writer.quality = userQuality;
    if (writer.writtenQuality == 0)
        return false;

    std::span<const std::uint8_t> kept = anyFitted ? std::span<const std::uint8_t>(fitted)
                                                   : std::span<const std::uint8_t>(trial.data(), trialLength);
    if (!CreateOutputFile(path, writer))
        return false;
    return writer.outputFile.write(kept) ? true : fail(writer, kCodecWriteFailed);
}

void ReleaseJpegWriter(JpegWriter& writer)
{
    writer.converted.reset();
    ReleaseCodecFiles(writer);
}

bool RecodeJpeg(JpegRecoder& recoder, const platform::Path& input, const platform::Path& output)
{
    ReadCursor cursor;
    std::size_t size = MapInputFile(input, recoder, cursor);
    if (size == 0 || !CreateOutputFile(output, recoder))
        return false;
    bool recoded = false;
    {
        JpegTranscoder transcoder;
        recoded = transcode(transcoder, std::span(cursor.begin, size), recoder.outputFile, recoder);
    }
    recoder.outputFile.close();
    return recoded;
}

void ReleaseJpegRecoder(JpegRecoder& recoder) { ReleaseCodecFiles(recoder); }

}  // namespace vrelk
