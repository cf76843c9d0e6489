#include <optional>

#include "codecs/decode_memory.h"
#include "codecs/exif.h"
#include "codecs/files.h"
#include "codecs/jpeg.h"
#include "codecs/jpeg_icc.h"
#include "codecs/jpeg_lib.h"
#include "codecs/metadata.h"
#include "picture/checked.h"
#include "platform/platform.h"

namespace vrelk {
namespace {

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

// With KeepMeta every APP1 segment goes along as it is (the pixels do not
// change); without the location, Exif and XMP lose it and any other APP1
// block, which could hold it, stays behind.
void writeApp1Segments(jpeg_compress_struct& target, const jpeg_decompress_struct& source, KeepMetadata keep)
{
    if (keep == KeepMetadata::none) {
        writeOrientation(target, SavedOrientation(source));
        return;
    }
    const ExifEdit edit{false, static_cast<std::int32_t>(source.image_width),
                        static_cast<std::int32_t>(source.image_height), true};
    for (jpeg_saved_marker_ptr marker = source.marker_list; marker; marker = marker->next) {
        if (marker->marker != JPEG_APP0 + 1)
            continue;
        const std::span<const std::uint8_t> payload(marker->data, marker->data_length);
        std::vector<std::uint8_t> kept;
        if (keep == KeepMetadata::all) {
            kept.assign(payload.begin(), payload.end());
        } else if (const auto exif = AfterIdentifier(payload, kExifIdentifier); !exif.empty()) {
            if (const std::vector<std::uint8_t> edited = EditExif(exif, edit); !edited.empty())
                kept = WithIdentifier(kExifIdentifier, edited);
        } else if (const auto xmp = AfterIdentifier(payload, kXmpIdentifier); !xmp.empty()) {
            if (const std::vector<std::uint8_t> edited = EditXmp(xmp, false, true); !edited.empty())
                kept = WithIdentifier(kXmpIdentifier, edited);
        }
        if (!kept.empty())
            jpeg_write_marker(&target, JPEG_APP0 + 1, kept.data(), static_cast<unsigned>(kept.size()));
    }
}

bool transcode(JpegTranscoder& transcoder, std::span<const std::uint8_t> input, OutputFile& output,
               const ReadLimits& limits, KeepMetadata keep, std::optional<CodecError>& refused)
{
    if (setjmp(transcoder.error.jump))
        return false;
    jpeg_create_decompress(&transcoder.source);
    jpeg_create_compress(&transcoder.target);
    InstallScanLimit(transcoder.source, kJpegMaxScans);
    InstallMemorySource(transcoder.source, input);
    KeepExifSegments(transcoder.source);
    KeepIccSegments(transcoder.source);
    jpeg_read_header(&transcoder.source, TRUE);
    // Coefficients are held for the whole picture: the reader's size limit
    // keeps a hostile header from asking for gigabytes.
    if (Status admitted = limits.admit(transcoder.source.image_width, transcoder.source.image_height); !admitted) {
        refused = admitted.error();
        return false;
    }
    // The coefficients are all the memory a re-encode holds; the encoder
    // writes them out as they are.
    const std::uint64_t need = JpegLibraryNeed(transcoder.source, true);
    if (Status claimed = limits.claim(need); !claimed) {
        refused = claimed.error();
        return false;
    }
    CapJpegMemory(transcoder.source, need);
    jvirt_barray_ptr* coefficients = jpeg_read_coefficients(&transcoder.source);
    jpeg_copy_critical_parameters(&transcoder.source, &transcoder.target);
    transcoder.target.optimize_coding = TRUE;
    InstallFileDestination(transcoder.target, output);
    jpeg_write_coefficients(&transcoder.target, coefficients);
    writeApp1Segments(transcoder.target, transcoder.source, keep);
    CopyIccSegments(transcoder.source, transcoder.target);
    jpeg_finish_compress(&transcoder.target);
    jpeg_finish_decompress(&transcoder.source);
    return true;
}

}  // namespace

static Status recodeJpegBody(ByteCursor in, const platform::Path& output, ImageSize* size, const ReadLimits& limits,
                             KeepMetadata keep)
{
    Result<OutputFile> out = OutputFile::create(output);
    if (!out)
        return out.error();
    std::optional<CodecError> refused;
    bool recoded = false;
    {
        JpegTranscoder transcoder;
        recoded = transcode(transcoder, in.whole(), *out, limits, keep, refused);
        if (recoded && size)
            *size = {static_cast<std::int32_t>(transcoder.source.image_width),
                     static_cast<std::int32_t>(transcoder.source.image_height)};
        if (!recoded && !refused && !out->failed())
            refused = JpegFailureOf(transcoder.error);
    }
    Status finished = out->finish();
    if (!recoded)
        return refused.value_or(CodecError::cannotWrite);
    return finished;
}

Status RecodeJpeg(ByteCursor in, const platform::Path& output, ImageSize* size, const ReadLimits& limits,
                  KeepMetadata keep)
{
    return withoutExceptions([&] { return recodeJpegBody(in, output, size, limits, keep); });
}

}  // namespace vrelk
