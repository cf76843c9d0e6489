#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>

#include "codecs/exif.h"
#include "codecs/files.h"
#include "codecs/jpeg.h"
#include "codecs/jpeg_icc.h"
#include "codecs/jpeg_lib.h"
#include "pixel/checked.h"
#include "pixel/convert.h"
#include "platform/platform.h"

namespace vrelk {
namespace {

constexpr JDIMENSION kRowsPerWrite = 16;
// Where the size search begins.
constexpr std::int32_t kTopQuality = 100;

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

// ---- Component planes -------------------------------------------------------
//
// The picture as libjpeg's colour converter and downsampler hand it to the
// DCT: Y, Cb and Cr at their sampled sizes, padded to whole blocks on the
// right and whole iMCU rows at the bottom by repeating the last sample. The
// arithmetic is libjpeg's own (16-bit fixed point, and the alternating
// rounding bias of its downsamplers), so an encoding fed these planes is
// byte for byte the encoding fed the pixels. The size search builds them
// once instead of once per trial.

constexpr int kScaleBits = 16;
constexpr std::int32_t fix(double x) { return static_cast<std::int32_t>(x * (1 << kScaleBits) + 0.5); }
constexpr std::int32_t kHalf = 1 << (kScaleBits - 1);
constexpr std::int32_t kChromaOffset = (128 << kScaleBits) + kHalf - 1;

struct ComponentPlanes {
    std::array<std::vector<std::uint8_t>, 3> samples;
    std::array<std::size_t, 3> width{};  // padded, in samples
    std::array<std::size_t, 3> height{};  // padded, in rows
    int rowsPerImcu = 8;                  // of the luminance plane

    const std::uint8_t* row(std::size_t component, std::size_t y) const
    {
        return samples[component].data() + std::min(y, height[component] - 1) * width[component];
    }
};

// Y, Cb and Cr of one row of blue-green-red pixels.
void convertRow(const std::uint8_t* bgr, std::size_t width, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr)
{
    for (std::size_t x = 0; x < width; ++x, bgr += 3) {
        const std::int32_t b = bgr[0], g = bgr[1], r = bgr[2];
        y[x] = static_cast<std::uint8_t>((fix(0.29900) * r + fix(0.58700) * g + fix(0.11400) * b + kHalf) >> kScaleBits);
        cb[x] = static_cast<std::uint8_t>((-fix(0.16874) * r - fix(0.33126) * g + fix(0.5) * b + kChromaOffset) >> kScaleBits);
        cr[x] = static_cast<std::uint8_t>((fix(0.5) * r - fix(0.41869) * g - fix(0.08131) * b + kChromaOffset) >> kScaleBits);
    }
}

void padRight(std::uint8_t* row, std::size_t used, std::size_t width)
{
    std::fill(row + used, row + width, row[used - 1]);
}

// One chroma output row from `factor` full-resolution rows (1 or 2) of
// `2 * width` samples, or a copy when the chroma is not subsampled across.
void downsampleRow(const std::uint8_t* first, const std::uint8_t* second, std::size_t width, int across, int down,
                   std::uint8_t* out)
{
    if (across == 1) {
        std::copy(first, first + width, out);
        return;
    }
    if (down == 1) {
        for (std::size_t x = 0; x < width; ++x)
            out[x] = static_cast<std::uint8_t>((first[2 * x] + first[2 * x + 1] + (x & 1)) >> 1);
        return;
    }
    for (std::size_t x = 0; x < width; ++x)
        out[x] = static_cast<std::uint8_t>(
            (first[2 * x] + first[2 * x + 1] + second[2 * x] + second[2 * x + 1] + 1 + (x & 1)) >> 2);
}

std::size_t blocksFor(std::size_t samples, std::size_t factor) { return (samples + 8 * factor - 1) / (8 * factor); }

bool buildPlanes(std::int32_t imageWidth, std::int32_t imageHeight, const std::uint8_t* pixels,
                 const JpegEncoding& encoding, ComponentPlanes& planes)
{
    const auto width = static_cast<std::size_t>(imageWidth);
    const auto height = static_cast<std::size_t>(imageHeight);
    const auto across = static_cast<std::size_t>(encoding.horizontalSampling);
    const auto down = static_cast<std::size_t>(encoding.verticalSampling);
    const std::size_t imcuRows = blocksFor(height, down);
    planes.rowsPerImcu = static_cast<int>(8 * down);
    planes.width = {8 * blocksFor(width, 1), 8 * blocksFor(width, across), 8 * blocksFor(width, across)};
    planes.height = {8 * down * imcuRows, 8 * imcuRows, 8 * imcuRows};
    // Full-resolution chroma rows, wide enough for the widest downsampled row.
    const std::size_t fullWidth = std::max(planes.width[0], across * planes.width[1]);
    std::vector<std::uint8_t> chroma;
    try {
        for (std::size_t c = 0; c < 3; ++c)
            planes.samples[c].resize(planes.width[c] * planes.height[c]);
        chroma.resize(4 * fullWidth);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const std::size_t stride = static_cast<std::size_t>(rowLayout(imageWidth, 1, 24).stride);
    const std::uint8_t* top = pixels + (height - 1) * stride;
    std::array<std::uint8_t*, 2> cb{chroma.data(), chroma.data() + fullWidth};
    std::array<std::uint8_t*, 2> cr{chroma.data() + 2 * fullWidth, chroma.data() + 3 * fullWidth};
    // Row groups of `down` picture rows make one chroma row; the last group
    // repeats the picture's last row when the height is odd.
    for (std::size_t group = 0; group * down < height; ++group) {
        for (std::size_t i = 0; i < down; ++i) {
            const std::size_t y = std::min(group * down + i, height - 1);
            std::uint8_t* luma = planes.samples[0].data() + std::min(group * down + i, planes.height[0] - 1) * planes.width[0];
            convertRow(top - y * stride, width, luma, cb[i], cr[i]);
            padRight(luma, width, planes.width[0]);
            padRight(cb[i], width, fullWidth);
            padRight(cr[i], width, fullWidth);
        }
        downsampleRow(cb[0], cb[1], planes.width[1], static_cast<int>(across), static_cast<int>(down),
                      planes.samples[1].data() + group * planes.width[1]);
        downsampleRow(cr[0], cr[1], planes.width[2], static_cast<int>(across), static_cast<int>(down),
                      planes.samples[2].data() + group * planes.width[2]);
    }
    // Whole iMCU rows at the bottom, repeating each plane's last real row.
    const std::array<std::size_t, 3> used{height, (height + down - 1) / down, (height + down - 1) / down};
    for (std::size_t c = 0; c < 3; ++c) {
        std::uint8_t* data = planes.samples[c].data();
        for (std::size_t y = used[c]; y < planes.height[c]; ++y)
            std::copy(data + (used[c] - 1) * planes.width[c], data + used[c] * planes.width[c], data + y * planes.width[c]);
    }
    return true;
}

// What one encoding works with: the pixels, and their component planes
// when the caller built them.
struct JpegJob {
    std::int32_t width;
    std::int32_t height;
    const std::uint8_t* pixels;  // 24-bit rows
    JpegEncoding encoding;
    const ComponentPlanes* planes = nullptr;
    std::span<const std::uint8_t> iccProfile{};
};

// Where an encoding goes: a file, or a growing memory buffer, where it may
// be stopped once longer than `stopAfter`. A trial of the size search may
// also be cancelled, and tells how far its output pass got when stopped.
struct JpegOutput {
    OutputFile* file = nullptr;
    std::vector<std::uint8_t>* memory = nullptr;
    std::size_t* length = nullptr;
    std::size_t stopAfter = SIZE_MAX;
    bool* stopped = nullptr;
    const std::atomic<bool>* cancel = nullptr;
    double* outputDone = nullptr;
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
    jpeg_start_compress(&info, TRUE);
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
    KeepIccSegments(transcoder.source);
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
    CopyIccSegments(transcoder.source, transcoder.target);
    jpeg_finish_compress(&transcoder.target);
    jpeg_finish_decompress(&transcoder.source);
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

// ---- The size search's trials ----------------------------------------------
//
// Each quality the search asks for is encoded into memory and stopped once
// it has passed the target. While one trial runs, the trial the search will
// most likely ask for next runs beside it on a second thread; a guess that
// proves wrong is cancelled. A trial's result depends only on its quality,
// so the search, its order and its record are the same whichever guesses
// were made, and a quality asked for twice is encoded once.

struct TrialOutcome {
    std::size_t length = 0;  // exact when complete, else one past the stop
    double estimate = 0;     // of the whole length, for guessing only
    bool complete = false;
};

// One trial at a time, on a thread of its own, into a buffer kept from
// trial to trial.
class TrialSlot {
public:
    TrialSlot() = default;
    TrialSlot(const TrialSlot&) = delete;
    TrialSlot& operator=(const TrialSlot&) = delete;
    ~TrialSlot() { cancel(); }

    bool reserve(std::size_t size) { return ResizeWithoutThrowing(buffer_, size); }
    bool busy() const { return work_ != nullptr; }
    std::int32_t quality() const { return job_.encoding.quality; }
    std::span<const std::uint8_t> bytes() const { return {buffer_.data(), length_}; }

    void start(const JpegJob& job, std::int32_t quality, std::size_t stopAfter)
    {
        job_ = job;
        job_.encoding.quality = quality;
        stopAfter_ = stopAfter;
        encoded_ = stopped_ = false;
        length_ = 0;
        outputDone_ = 0;
        cancel_ = false;
        work_ = std::make_unique<platform::BackgroundWork>([this] {
            encoded_ = encode(job_, JpegOutput{nullptr, &buffer_, &length_, stopAfter_, &stopped_, &cancel_, &outputDone_});
        });
    }

    // Waits for the trial; false when it failed otherwise than by passing
    // its stop.
    bool finish(TrialOutcome& outcome)
    {
        work_.reset();
        if (encoded_) {
            outcome = {length_, static_cast<double>(length_), true};
            return true;
        }
        if (!stopped_)
            return false;
        length_ = 0;
        const double pastStop = static_cast<double>(stopAfter_) + 1;
        outcome = {stopAfter_ + 1, outputDone_ > 0 ? pastStop / outputDone_ : std::numeric_limits<double>::infinity(), false};
        return true;
    }

    void cancel()
    {
        cancel_ = true;
        work_.reset();
    }

private:
    JpegJob job_{};
    std::vector<std::uint8_t> buffer_;
    std::size_t stopAfter_ = SIZE_MAX;
    std::size_t length_ = 0;
    double outputDone_ = 0;
    bool encoded_ = false;
    bool stopped_ = false;
    std::atomic<bool> cancel_{false};
    std::unique_ptr<platform::BackgroundWork> work_;  // last: joined first
};

// The logarithm of the scale libjpeg applies to its quantisation tables
// at `quality`. The logarithm of the length runs nearly straight along it,
// down to where the tables are all ones: above quality 96 photos lengthen
// as if the scale stayed near 7.
double logTableScale(std::int32_t quality)
{
    const double scale = quality < 50 ? 5000.0 / quality : 200.0 - 2.0 * quality;
    return std::log(std::max(scale, 7.0));
}

// How the logarithm of the length changes along the logarithm of the table
// scale, where a guess has only one known trial to go by; photos lie
// around this.
constexpr double kLengthPerTableScale = -0.8;

class SizeSearchTrials {
public:
    SizeSearchTrials(const JpegJob& job, std::int64_t limit)
        : job_(job), limit_(limit), stop_(static_cast<std::size_t>(std::clamp<std::int64_t>(limit, 0, PTRDIFF_MAX)))
    {
    }

    bool reserve(std::size_t size) { return slots_[0].reserve(size) && slots_[1].reserve(size); }

    // Starts the first trial before the search asks for it.
    void begin(std::int32_t quality) { idleSlot()->start(job_, quality, stopAfter(quality)); }
    // Later trials take the component planes; a running one keeps its pixels.
    void usePlanes(const ComponentPlanes& planes) { job_.planes = &planes; }
    bool outOfMemory() const { return outOfMemory_; }

    // The encoding to write: the last trial that fitted, else the last one
    // that ran to its end (quality 1, which is never stopped).
    std::span<const std::uint8_t> kept() const { return anyFitted_ ? fitted_ : lastComplete_; }

    bool encodeAt(std::int32_t quality, std::size_t& length)
    {
        const auto found = known_.find(quality);
        if (found != known_.end() && (!fits(found->second.length) || fittedQuality_ == quality)) {
            length = found->second.length;
            return true;
        }
        const std::optional<std::int32_t> next = likelyNext(quality);
        for (TrialSlot& slot : slots_)
            if (slot.busy() && slot.quality() != quality && slot.quality() != next)
                slot.cancel();
        TrialSlot* current = slotRunning(quality);
        if (!current) {
            current = idleSlot();
            current->start(job_, quality, stopAfter(quality));
        }
        if (next && !known_.contains(*next) && !slotRunning(*next))
            idleSlot()->start(job_, *next, stopAfter(*next));

        TrialOutcome outcome;
        if (!current->finish(outcome))
            return false;
        known_[quality] = outcome;
        length = outcome.length;
        if (outcome.complete && !keep(*current, outcome.length, quality))
            return false;
        return true;
    }

private:
    bool fits(std::size_t length) const { return static_cast<std::int64_t>(length) <= limit_; }
    // Quality 1 is written when nothing fits, so it always runs to its end.
    std::size_t stopAfter(std::int32_t quality) const { return quality > 1 ? stop_ : SIZE_MAX; }

    TrialSlot* slotRunning(std::int32_t quality)
    {
        for (TrialSlot& slot : slots_)
            if (slot.busy() && slot.quality() == quality)
                return &slot;
        return nullptr;
    }

    TrialSlot* idleSlot()
    {
        for (TrialSlot& slot : slots_)
            if (!slot.busy())
                return &slot;
        return nullptr;  // never: at most one other trial runs
    }

    bool keep(const TrialSlot& slot, std::size_t length, std::int32_t quality)
    {
        std::vector<std::uint8_t>& into = fits(length) ? fitted_ : lastComplete_;
        if (!copyBuffer(into, slot.bytes())) {
            outOfMemory_ = true;
            return false;
        }
        if (fits(length)) {
            anyFitted_ = true;
            fittedQuality_ = quality;
        }
        return true;
    }

    // The whole length at `quality`, taking its logarithm as straight along
    // the table scale through the two nearest trials: on either side of it,
    // or both on one side, or one with the usual slope.
    double estimateAt(std::int32_t quality) const
    {
        using Known = std::map<std::int32_t, TrialOutcome>::const_iterator;
        const Known above = known_.upper_bound(quality);
        std::array<Known, 2> near{};
        std::size_t count = 0;
        if (above != known_.begin() && above != known_.end()) {
            near = {std::prev(above), above};
            count = 2;
        } else if (above != known_.end()) {
            near[count++] = above;
            if (std::next(above) != known_.end())
                near[count++] = std::next(above);
        } else if (above != known_.begin()) {
            near[count++] = std::prev(above);
            if (near[0] != known_.begin())
                near[count++] = std::prev(near[0]);
        }
        if (count == 0)
            return std::numeric_limits<double>::infinity();
        const double start = std::log(near[0]->second.estimate);
        const double from = logTableScale(near[0]->first);
        const double slope = count == 2 ? (std::log(near[1]->second.estimate) - start) / (logTableScale(near[1]->first) - from)
                                        : kLengthPerTableScale;
        return std::exp(start + slope * (logTableScale(quality) - from));
    }

    // The quality the search asks for after `quality` if that one goes as
    // guessed, found by replaying the search over what is known.
    std::optional<std::int32_t> likelyNext(std::int32_t quality) const
    {
        const bool guessFits = estimateAt(quality) <= static_cast<double>(limit_);
        std::optional<std::int32_t> next;
        SearchJpegQuality(limit_, [&](std::int32_t asked, std::size_t& length) {
            if (const auto found = known_.find(asked); found != known_.end()) {
                length = found->second.length;
                return true;
            }
            if (asked == quality) {
                length = guessFits ? 0 : stop_ + 1;
                return true;
            }
            next = asked;
            return false;
        });
        return next;
    }

    JpegJob job_;
    std::int64_t limit_;
    std::size_t stop_;
    std::map<std::int32_t, TrialOutcome> known_;
    std::vector<std::uint8_t> fitted_;
    std::vector<std::uint8_t> lastComplete_;
    std::int32_t fittedQuality_ = 0;
    bool anyFitted_ = false;
    bool outOfMemory_ = false;
    std::array<TrialSlot, 2> slots_;  // last: their threads end first
};

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

static Status writeJpegBody(const ImageView& image, const platform::Path& path, const JpegEncoding& encoding)
{
    PageBuffer converted;
    Result<const std::uint8_t*> rows = pixels24(image, converted);
    if (!rows)
        return rows.error();
    Result<OutputFile> out = OutputFile::create(path);
    if (!out)
        return out.error();
    const bool encoded = encode(JpegJob{image.width, image.height, *rows, encoding, nullptr, image.iccProfile}, JpegOutput{&*out, nullptr, nullptr});
    Status finished = out->finish();
    if (!finished)
        return finished;
    return encoded ? Status{} : Status{CodecError::writeFailed};
}

Status WriteJpeg(const ImageView& image, const platform::Path& path, const JpegEncoding& encoding)
{
    return withoutExceptions([&] { return writeJpegBody(image, path, encoding); });
}

static Status encodeJpegToMemoryBody(const ImageView& image, const JpegEncoding& encoding, std::vector<std::uint8_t>& buffer,
                          std::size_t& length)
{
    PageBuffer converted;
    Result<const std::uint8_t*> rows = pixels24(image, converted);
    if (!rows)
        return rows.error();
    if (!encodeToMemory(JpegJob{image.width, image.height, *rows, encoding, nullptr, image.iccProfile}, buffer, length))
        return CodecError::writeFailed;
    return {};
}

Status EncodeJpegToMemory(const ImageView& image, const JpegEncoding& encoding, std::vector<std::uint8_t>& buffer,
                          std::size_t& length)
{
    return withoutExceptions([&] { return encodeJpegToMemoryBody(image, encoding, buffer, length); });
}

std::int32_t SearchJpegQuality(std::int64_t limit, const JpegTrial& encodeAt)
{
    std::size_t length = 0;
    auto fits = [&] { return static_cast<std::int64_t>(length) <= limit; };
    if (!encodeAt(kTopQuality, length))
        return 0;
    if (fits())
        return kTopQuality;

    // Each fitting trial halves the step and tries that far below the
    // lowest quality found too large; too-large trials walk down by the
    // step, and one at a time below 7.
    std::int32_t highest = kTopQuality;
    std::int32_t base = kTopQuality;
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

static Status writeJpegWithByteLimitBody(const ImageView& image, const platform::Path& path, const JpegEncoding& encoding,
                              std::int64_t limit, JpegSearchRecord* record)
{
    PageBuffer converted;
    Result<const std::uint8_t*> rows = pixels24(image, converted);
    if (!rows)
        return rows.error();

    const auto uncompressed = static_cast<std::uint64_t>(rowLayout(image.width, image.height, 24).imageSize);
    const std::uint64_t target = limit > 0 ? static_cast<std::uint64_t>(limit) : 0;

    // A trial stopped at the target needs one byte more than it; larger
    // encodings (quality 1 runs to its end) grow the buffer.
    ComponentPlanes planes;
    SizeSearchTrials trials(JpegJob{image.width, image.height, *rows, encoding, nullptr, image.iccProfile}, limit);
    if (!trials.reserve(static_cast<std::size_t>(std::clamp<std::uint64_t>(target + 1, 1u << 16, std::max<std::uint64_t>(uncompressed, 1u << 16)))))
        return CodecError::noMemory;
    // The search's first trial converts the pixels itself while the planes
    // for the other trials are built beside it. Without memory for the
    // planes every trial converts the pixels.
    trials.begin(kTopQuality);
    if (buildPlanes(image.width, image.height, *rows, encoding, planes))
        trials.usePlanes(planes);
    JpegSearchRecord search;
    search.writtenQuality = SearchJpegQuality(limit, [&](std::int32_t quality, std::size_t& length) {
        search.qualitiesTried.push_back(quality);
        return trials.encodeAt(quality, length);
    });
    if (record)
        *record = search;
    if (search.writtenQuality == 0)
        return trials.outOfMemory() ? CodecError::noMemory : CodecError::writeFailed;

    const std::span<const std::uint8_t> kept = trials.kept();
    Result<OutputFile> out = OutputFile::create(path);
    if (!out)
        return out.error();
    out->write(kept);
    return out->finish();
}

Status WriteJpegWithByteLimit(const ImageView& image, const platform::Path& path, const JpegEncoding& encoding,
                              std::int64_t limit, JpegSearchRecord* record)
{
    return withoutExceptions([&] { return writeJpegWithByteLimitBody(image, path, encoding, limit, record); });
}

static Status recodeJpegBody(ByteCursor in, const platform::Path& output)
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

Status RecodeJpeg(ByteCursor in, const platform::Path& output)
{
    return withoutExceptions([&] { return recodeJpegBody(in, output); });
}

}  // namespace vrelk
