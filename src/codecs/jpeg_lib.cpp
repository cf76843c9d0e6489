#include "codecs/jpeg_lib.h"

#include <array>
#include <algorithm>
#include <new>
#include <stdexcept>

#include <jerror.h>

#include <limits>

#include "codecs/decode_memory.h"
#include "codecs/metadata.h"

namespace vrelk {
namespace {

constexpr std::size_t kFileBufferSize = std::size_t{1} << 20;
constexpr std::size_t kMinimumMemoryBuffer = 4096;

// Nothing shows the library's message: a failed file is skipped silently.
void exitWithJump(j_common_ptr object)
{
    std::longjmp(reinterpret_cast<JpegErrorManager*>(object->err)->jump, 1);
}

void discardMessage(j_common_ptr) {}

struct MemorySource {
    jpeg_source_mgr library;
    JOCTET endMarker[2];
};

void sourceNothing(j_decompress_ptr) {}

boolean supplyEndMarker(j_decompress_ptr info)
{
    auto* source = reinterpret_cast<MemorySource*>(info->src);
    source->endMarker[0] = 0xFF;
    source->endMarker[1] = JPEG_EOI;
    source->library.next_input_byte = source->endMarker;
    source->library.bytes_in_buffer = 2;
    return TRUE;
}

void skipInput(j_decompress_ptr info, long count)
{
    if (count <= 0)
        return;
    jpeg_source_mgr& source = *info->src;
    std::size_t skipped = std::min(static_cast<std::size_t>(count), source.bytes_in_buffer);
    source.next_input_byte += skipped;
    source.bytes_in_buffer -= skipped;
}

struct FileDestination {
    jpeg_destination_mgr library;
    OutputFile* file;
    JOCTET* buffer;
};

FileDestination& fileDestination(j_compress_ptr info) { return *reinterpret_cast<FileDestination*>(info->dest); }

void startFileBuffer(j_compress_ptr info)
{
    FileDestination& destination = fileDestination(info);
    destination.buffer = static_cast<JOCTET*>(
        (*info->mem->alloc_large)(reinterpret_cast<j_common_ptr>(info), JPOOL_IMAGE, kFileBufferSize));
    destination.library.next_output_byte = destination.buffer;
    destination.library.free_in_buffer = kFileBufferSize;
}

void writeOrFail(j_compress_ptr info, std::size_t count)
{
    FileDestination& destination = fileDestination(info);
    destination.file->write(std::span<const std::uint8_t>(destination.buffer, count));
    if (destination.file->failed())
        ERREXIT(info, JERR_FILE_WRITE);
}

boolean flushFileBuffer(j_compress_ptr info)
{
    writeOrFail(info, kFileBufferSize);
    FileDestination& destination = fileDestination(info);
    destination.library.next_output_byte = destination.buffer;
    destination.library.free_in_buffer = kFileBufferSize;
    return TRUE;
}

void finishFileBuffer(j_compress_ptr info)
{
    std::size_t count = kFileBufferSize - fileDestination(info).library.free_in_buffer;
    if (count != 0)
        writeOrFail(info, count);
}

struct MemoryDestination {
    jpeg_destination_mgr library;
    std::vector<std::uint8_t>* buffer;
    std::size_t stopAfter;
    std::size_t offered;  // bytes from the buffer's start handed to the library
    bool stopped;
};

MemoryDestination& memoryDestination(j_compress_ptr info)
{
    return *reinterpret_cast<MemoryDestination*>(info->dest);
}


// Offers the library the buffer from `used` on, but never more than one
// byte past `stopAfter`, so that passing it is noticed at once.
void offerMemory(MemoryDestination& destination, std::size_t used)
{
    const std::size_t window =
        destination.stopAfter == SIZE_MAX ? SIZE_MAX : destination.stopAfter + 1;
    destination.offered = std::min(destination.buffer->size(), window);
    destination.library.next_output_byte = destination.buffer->data() + used;
    destination.library.free_in_buffer = destination.offered - used;
}

void startMemoryBuffer(j_compress_ptr info)
{
    MemoryDestination& destination = memoryDestination(info);
    std::vector<std::uint8_t>& buffer = *destination.buffer;
    if (buffer.size() < kMinimumMemoryBuffer && !ResizeWithoutThrowing(buffer, kMinimumMemoryBuffer))
        ERREXIT(info, JERR_OUT_OF_MEMORY);
    destination.stopped = false;
    offerMemory(destination, 0);
}

// Called when the offered bytes are full: the encoding so far stays where
// it is.
boolean growMemoryBuffer(j_compress_ptr info)
{
    MemoryDestination& destination = memoryDestination(info);
    std::vector<std::uint8_t>& buffer = *destination.buffer;
    const std::size_t used = destination.offered;
    if (used > destination.stopAfter) {
        destination.stopped = true;
        ERREXIT(info, JERR_BUFFER_SIZE);
    }
    if (used == buffer.size() && !ResizeWithoutThrowing(buffer, used * 2))
        ERREXIT(info, JERR_OUT_OF_MEMORY);
    offerMemory(destination, used);
    return TRUE;
}

void destinationNothing(j_compress_ptr) {}

struct ScanLimit {
    jpeg_progress_mgr library;
    int maxScans;
};

void checkScanCount(j_common_ptr object)
{
    auto* info = reinterpret_cast<j_decompress_ptr>(object);
    const auto* limit = reinterpret_cast<const ScanLimit*>(info->progress);
    if (info->input_scan_number > limit->maxScans)
        ERREXIT(info, JERR_BAD_PROGRESSION);
}

struct TrialProgress {
    jpeg_progress_mgr library;
    const std::atomic<bool>* cancel;
};

void checkCancelled(j_common_ptr object)
{
    const auto* progress = reinterpret_cast<const TrialProgress*>(object->progress);
    if (progress->cancel->load(std::memory_order_relaxed))
        ERREXIT(object, JERR_BUFFER_SIZE);
}

template <typename Record>
Record* permanentRecord(j_common_ptr object)
{
    return static_cast<Record*>((*object->mem->alloc_small)(object, JPOOL_PERMANENT, sizeof(Record)));
}

}  // namespace

std::uint64_t JpegLibraryNeed(const jpeg_decompress_struct& info, bool wholeFrame)
{
    constexpr std::uint64_t kBlockBytes = DCTSIZE2 * sizeof(JCOEF);
    // Sample rows of two MCU rows for each component, upsampled and colour
    // converted, with room for libjpeg's tables.
    constexpr std::uint64_t kWorkingRowsPerComponent = 6 * 2 * DCTSIZE * 4;
    constexpr std::uint64_t kTables = std::uint64_t{1} << 20;
    std::uint64_t need = addNeeds(kTables, multiplyNeeds(multiplyNeeds(info.image_width, kWorkingRowsPerComponent),
                                                         static_cast<std::uint64_t>(info.num_components)));
    if (!wholeFrame)
        return need;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& component = info.comp_info[c];
        // libjpeg rounds each array up to whole sampling units.
        const std::uint64_t across = std::uint64_t{component.width_in_blocks} + component.h_samp_factor;
        const std::uint64_t down = std::uint64_t{component.height_in_blocks} + component.v_samp_factor;
        need = addNeeds(need, multiplyNeeds(multiplyNeeds(across, down), kBlockBytes));
    }
    return need;
}

void CapJpegMemory(jpeg_decompress_struct& info, std::uint64_t cap)
{
    constexpr auto kMost = static_cast<std::uint64_t>(std::numeric_limits<long>::max());
    info.mem->max_memory_to_use = static_cast<long>(cap < kMost ? cap : kMost);
}

CodecError JpegFailureOf(const JpegErrorManager& manager)
{
    struct Cause {
        int code;
        CodecError error;
    };
    static constexpr std::array<Cause, 8> kCauses{{
        {JERR_NO_SOI, CodecError::notThisFormat},
        {JERR_OUT_OF_MEMORY, CodecError::noMemory},
        {JERR_INPUT_EMPTY, CodecError::truncated},
        {JERR_INPUT_EOF, CodecError::truncated},
        {JERR_BAD_PRECISION, CodecError::unsupported},
        {JERR_NOT_COMPILED, CodecError::unsupported},
        {JERR_NOTIMPL, CodecError::unsupported},
        {JERR_IMAGE_TOO_BIG, CodecError::tooLarge},
    }};
    for (const Cause& cause : kCauses)
        if (manager.library.msg_code == cause.code)
            return cause.error;
    return CodecError::damaged;
}

void InstallJpegErrorManager(JpegErrorManager& manager, jpeg_common_struct& object)
{
    object.err = jpeg_std_error(&manager.library);
    manager.library.error_exit = exitWithJump;
    // A damaged file still decodes; its warnings are nobody's business.
    manager.library.output_message = discardMessage;
}

void InstallMemorySource(jpeg_decompress_struct& info, std::span<const std::uint8_t> input)
{
    if (!info.src)
        info.src = &permanentRecord<MemorySource>(reinterpret_cast<j_common_ptr>(&info))->library;
    jpeg_source_mgr& source = *info.src;
    source.next_input_byte = input.data();
    source.bytes_in_buffer = input.size();
    source.init_source = sourceNothing;
    source.fill_input_buffer = supplyEndMarker;
    source.skip_input_data = skipInput;
    source.resync_to_restart = jpeg_resync_to_restart;
    source.term_source = sourceNothing;
}

void InstallScanLimit(jpeg_decompress_struct& info, int maxScans)
{
    auto* limit = permanentRecord<ScanLimit>(reinterpret_cast<j_common_ptr>(&info));
    limit->library = {};
    limit->library.progress_monitor = checkScanCount;
    limit->maxScans = maxScans;
    info.progress = &limit->library;
}

void InstallTrialProgress(jpeg_compress_struct& info, const std::atomic<bool>& cancel)
{
    auto* progress = permanentRecord<TrialProgress>(reinterpret_cast<j_common_ptr>(&info));
    progress->library = {};
    progress->library.progress_monitor = checkCancelled;
    progress->cancel = &cancel;
    info.progress = &progress->library;
}

double OutputPassDone(const jpeg_compress_struct& info)
{
    const jpeg_progress_mgr* progress = info.progress;
    if (!progress || progress->total_passes < 1 || progress->completed_passes + 1 < progress->total_passes ||
        progress->pass_limit < 1)
        return 0;
    return std::min(1.0, static_cast<double>(progress->pass_counter + 1) / static_cast<double>(progress->pass_limit));
}

void KeepExifSegments(jpeg_decompress_struct& info) { jpeg_save_markers(&info, JPEG_APP0 + 1, 0xFFFF); }

ExifOrientation SavedOrientation(const jpeg_decompress_struct& info)
{
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker; marker = marker->next) {
        const std::span<const std::uint8_t> payload(marker->data, marker->data_length);
        if (marker->marker == JPEG_APP0 + 1 && isExifSegment(payload))
            return orientationFromExif(payload);
    }
    return kUpright;
}

void TakeSavedMetadata(const jpeg_decompress_struct& info, PictureMeta& meta)
{
    for (jpeg_saved_marker_ptr marker = info.marker_list; marker; marker = marker->next) {
        if (marker->marker != JPEG_APP0 + 1)
            continue;
        const std::span<const std::uint8_t> payload(marker->data, marker->data_length);
        if (const auto exif = AfterIdentifier(payload, kExifIdentifier); !exif.empty() && meta.exif.empty())
            meta.exif.assign(exif.begin(), exif.end());
        else if (const auto xmp = AfterIdentifier(payload, kXmpIdentifier); !xmp.empty() && meta.xmp.empty())
            meta.xmp.assign(xmp.begin(), xmp.end());
    }
}

void WriteMetadataSegments(jpeg_compress_struct& info, std::span<const std::uint8_t> exif,
                           std::span<const std::uint8_t> xmp)
{
    constexpr std::size_t kMaxSegmentPayload = 65533;
    for (auto [identifier, payload] : {std::pair{kExifIdentifier, exif}, std::pair{kXmpIdentifier, xmp}}) {
        if (payload.empty() || payload.size() > kMaxSegmentPayload - identifier.size())
            continue;
        const std::vector<std::uint8_t> segment = WithIdentifier(identifier, payload);
        jpeg_write_marker(&info, JPEG_APP0 + 1, segment.data(), static_cast<unsigned>(segment.size()));
    }
}

void InstallFileDestination(jpeg_compress_struct& info, OutputFile& file)
{
    if (!info.dest)
        info.dest = &permanentRecord<FileDestination>(reinterpret_cast<j_common_ptr>(&info))->library;
    FileDestination& destination = fileDestination(&info);
    destination.file = &file;
    destination.buffer = nullptr;
    destination.library.init_destination = startFileBuffer;
    destination.library.empty_output_buffer = flushFileBuffer;
    destination.library.term_destination = finishFileBuffer;
}

void InstallMemoryDestination(jpeg_compress_struct& info, std::vector<std::uint8_t>& buffer, std::size_t stopAfter)
{
    if (!info.dest)
        info.dest = &permanentRecord<MemoryDestination>(reinterpret_cast<j_common_ptr>(&info))->library;
    MemoryDestination& destination = memoryDestination(&info);
    destination.buffer = &buffer;
    destination.stopAfter = stopAfter;
    destination.stopped = false;
    destination.library.init_destination = startMemoryBuffer;
    destination.library.empty_output_buffer = growMemoryBuffer;
    destination.library.term_destination = destinationNothing;
}

std::size_t MemoryDestinationLength(const jpeg_compress_struct& info)
{
    const auto& destination = *reinterpret_cast<const MemoryDestination*>(info.dest);
    return destination.offered - destination.library.free_in_buffer;
}

bool MemoryDestinationStopped(const jpeg_compress_struct& info)
{
    return info.dest && reinterpret_cast<const MemoryDestination*>(info.dest)->stopped;
}

}  // namespace vrelk
