// The program's adapters around libjpeg: the error manager that turns a
// library error into a long jump back to the codec, the source over the
// input in memory, and the file and growing-memory destinations. Only the
// JPEG codec sources include this.
#pragma once

#include <atomic>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include <jpeglib.h>

#include "codecs/exif.h"
#include "codecs/files.h"
#include "picture/picture.h"

namespace vrelk {

// libjpeg's standard error record followed by the jump target of the codec
// that owns the library object. A fatal error long-jumps there with 1.
struct JpegErrorManager {
    jpeg_error_mgr library;
    std::jmp_buf jump;
};

// Fills `manager` as jpeg_std_error does, replaces error_exit with the long
// jump and silences warnings, and hooks it into `object`.
void InstallJpegErrorManager(JpegErrorManager& manager, jpeg_common_struct& object);

// The cause of the fatal error libjpeg last reported through `manager`.
CodecError JpegFailureOf(const JpegErrorManager& manager);

// Feeds libjpeg from `input`, which must outlive the decompression. When
// the bytes run out the source keeps supplying an end-of-image marker, so a
// cut-off file decodes to what it holds; skips stop at the end.
void InstallMemorySource(jpeg_decompress_struct& info, std::span<const std::uint8_t> input);

// Fails the decode (as a library error) once the input reaches scan number
// `maxScans` + 1; libjpeg's progress hook sees every scan of a progressive
// file as it is read.
void InstallScanLimit(jpeg_decompress_struct& info, int maxScans);

// Has libjpeg keep the APP1 segments that jpeg_read_header passes, and
// finds the orientation in the first Exif one among them (upright when
// there is none).
void KeepExifSegments(jpeg_decompress_struct& info);
ExifOrientation SavedOrientation(const jpeg_decompress_struct& info);
// The first Exif and XMP segments among those kept, without identifiers.
void TakeSavedMetadata(const jpeg_decompress_struct& info, PictureMeta& meta);
// Exif and XMP as APP1 segments, each left out when too long for one.
void WriteMetadataSegments(jpeg_compress_struct& info, std::span<const std::uint8_t> exif,
                           std::span<const std::uint8_t> xmp);

// What libjpeg itself holds at most while it decodes the file read up to its
// first scan: the coefficients of the whole frame when `wholeFrame` (a
// progressive file, or any file being re-encoded; 128 bytes a block), and
// rows of working samples. Caps libjpeg's own allocations at `cap`.
std::uint64_t JpegLibraryNeed(const jpeg_decompress_struct& info, bool wholeFrame);
void CapJpegMemory(jpeg_decompress_struct& info, std::uint64_t cap);

// Writes through a 1 MiB buffer; a short write is a library error.
void InstallFileDestination(jpeg_compress_struct& info, OutputFile& file);

// Encodes into `buffer` from its start, doubling it whenever it fills; the
// encoded length is MemoryDestinationLength after jpeg_finish_compress.
// An encoding that grows past `stopAfter` bytes ends there as a library
// error, and MemoryDestinationStopped tells that this was the cause.
void InstallMemoryDestination(jpeg_compress_struct& info, std::vector<std::uint8_t>& buffer,
                              std::size_t stopAfter = SIZE_MAX);
std::size_t MemoryDestinationLength(const jpeg_compress_struct& info);
bool MemoryDestinationStopped(const jpeg_compress_struct& info);

// Follows an encoding's passes: ends it as a library error once `cancel`
// is set, and keeps how far the current pass has got, so that a trial
// stopped in its output pass can tell roughly how long it would have been.
void InstallTrialProgress(jpeg_compress_struct& info, const std::atomic<bool>& cancel);
// The share of the output pass done, 0 to 1; 0 before that pass begins.
double OutputPassDone(const jpeg_compress_struct& info);

// The library objects with their error manager. The objects start zeroed,
// so destroying one that was never created is harmless. The functions that
// set the jump target take these by reference and keep no objects with
// destructors of their own.
struct JpegDecoder {
    JpegErrorManager error{};
    jpeg_decompress_struct info{};

    JpegDecoder() { InstallJpegErrorManager(error, *reinterpret_cast<jpeg_common_struct*>(&info)); }
    ~JpegDecoder() { jpeg_destroy_decompress(&info); }
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;
};

struct JpegEncoder {
    JpegErrorManager error{};
    jpeg_compress_struct info{};

    JpegEncoder() { InstallJpegErrorManager(error, *reinterpret_cast<jpeg_common_struct*>(&info)); }
    ~JpegEncoder() { jpeg_destroy_compress(&info); }
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;
};

// Both objects of a re-encode share one error manager and jump target.
struct JpegTranscoder {
    JpegErrorManager error{};
    jpeg_decompress_struct source{};
    jpeg_compress_struct target{};

    JpegTranscoder()
    {
        InstallJpegErrorManager(error, *reinterpret_cast<jpeg_common_struct*>(&source));
        target.err = source.err;
    }
    ~JpegTranscoder()
    {
        jpeg_destroy_compress(&target);
        jpeg_destroy_decompress(&source);
    }
    JpegTranscoder(const JpegTranscoder&) = delete;
    JpegTranscoder& operator=(const JpegTranscoder&) = delete;
};

}  // namespace vrelk
