#include <algorithm>
#include <array>
#include <memory>
#include <vector>

#include <libheif/heif.h>

#include "codecs/avif.h"
#include "codecs/files.h"
#include "codecs/size_search.h"
#include "codecs/size_sketch.h"
#include "pixel/yuv420.h"

namespace vrelk {
namespace {

struct ContextFree {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct ImageRelease {
    void operator()(heif_image* image) const { heif_image_release(image); }
};
struct EncoderRelease {
    void operator()(heif_encoder* encoder) const { heif_encoder_release(encoder); }
};
struct NclxFree {
    void operator()(heif_color_profile_nclx* nclx) const { heif_nclx_color_profile_free(nclx); }
};
using Context = std::unique_ptr<heif_context, ContextFree>;
using SourceImage = std::unique_ptr<heif_image, ImageRelease>;
using Encoder = std::unique_ptr<heif_encoder, EncoderRelease>;
using Nclx = std::unique_ptr<heif_color_profile_nclx, NclxFree>;

// libheif reports exhaustion as such; everything else it refuses is a
// picture this writer cannot make.
CodecError codecErrorOf(const heif_error& error)
{
    return error.code == heif_error_Memory_allocation_error ? CodecError::noMemory : CodecError::cannotWrite;
}

Status statusOf(const heif_error& error)
{
    return error.code == heif_error_Ok ? Status{} : Status{codecErrorOf(error)};
}

constexpr int kAvifLeastThreads = 2;

// Slots of the run lent to libaom's threads for one encoding: the caller's
// own thread runs on its own slot, each further one holds a free slot
// until the end, and is counted as an encoding running beside it.
class EncoderThreads {
public:
    explicit EncoderThreads(platform::WorkerSlots* workers) : workers_(workers)
    {
        if (!workers_) {
            threads_ = std::clamp(static_cast<int>(platform::processorCount()), 1, kAvifMostThreads);
            return;
        }
        for (; threads_ < kAvifMostThreads && workers_->tryTake(); ++threads_)
            workers_->encodingStarted();
    }
    ~EncoderThreads()
    {
        if (!workers_)
            return;
        for (int i = 1; i < threads_; ++i) {
            workers_->encodingEnded();
            workers_->give();
        }
    }
    EncoderThreads(const EncoderThreads&) = delete;
    EncoderThreads& operator=(const EncoderThreads&) = delete;

    // libaom writes one file on any number of threads from two up, but
    // another on one (it codes rows differently when it splits them), so
    // an encoding never asks for fewer than two: the bytes are then the
    // same however busy the run is. Without a slot to lend, both threads
    // share the work of the caller's one. A process held to one processor
    // runs one: two there only take turns, at about a tenth more time, and
    // every run there writes the same bytes all the same.
    int count() const { return oneProcessor_ ? 1 : std::max(threads_, kAvifLeastThreads); }

private:
    platform::WorkerSlots* workers_;
    int threads_ = 1;
    bool oneProcessor_ = platform::processorCount() == 1;
};

// The colours of a picture without a profile, sRGB, in the file's own
// terms, held in full-range BT.601 YCbCr as heif-enc writes it; a profile
// the picture has takes their place in the file.
Result<Nclx> srgbNclx()
{
    Nclx nclx(heif_nclx_color_profile_alloc());
    if (!nclx)
        return CodecError::noMemory;
    nclx->color_primaries = heif_color_primaries_ITU_R_BT_709_5;
    nclx->transfer_characteristics = heif_transfer_characteristic_IEC_61966_2_1;
    nclx->matrix_coefficients = heif_matrix_coefficients_ITU_R_BT_601_6;
    nclx->full_range_flag = 1;
    return nclx;
}

// A plane of the image as a span of its `rows` rows; empty when libheif
// has none.
std::span<std::uint8_t> planeOf(heif_image* image, heif_channel channel, std::int32_t rows, std::size_t& stride)
{
    int bytes = 0;
    std::uint8_t* plane = heif_image_get_plane(image, channel, &bytes);
    if (!plane || bytes <= 0)
        return {};
    stride = static_cast<std::size_t>(bytes);
    return {plane, stride * static_cast<std::size_t>(rows)};
}

// The picture in the encoder's own 4:2:0, converted here rather than by
// libheif so that no interleaved RGB copy is made and the rows convert on
// the picture's lent cores, with its colour description.
Result<SourceImage> sourceImageOf(const ImageView& image)
{
    PageBuffer converted;
    Result<const std::uint8_t*> rows = Pixels24(image, converted);
    if (!rows)
        return rows.error();
    heif_image* made = nullptr;
    if (Status created = statusOf(
            heif_image_create(image.width, image.height, heif_colorspace_YCbCr, heif_chroma_420, &made));
        !created)
        return created.error();
    SourceImage source(made);
    const std::int32_t chromaWidth = image.width / 2 + image.width % 2;
    const std::int32_t chromaHeight = image.height / 2 + image.height % 2;
    const std::array<std::pair<heif_channel, bool>, 3> channels{
        {{heif_channel_Y, false}, {heif_channel_Cb, true}, {heif_channel_Cr, true}}};
    for (const auto& [channel, chroma] : channels)
        if (Status added = statusOf(heif_image_add_plane(made, channel, chroma ? chromaWidth : image.width,
                                                         chroma ? chromaHeight : image.height, 8));
            !added)
            return added.error();
    Yuv420Planes planes;
    planes.y = planeOf(made, heif_channel_Y, image.height, planes.lumaStride);
    planes.cb = planeOf(made, heif_channel_Cb, chromaHeight, planes.chromaStride);
    std::size_t crStride = 0;
    planes.cr = planeOf(made, heif_channel_Cr, chromaHeight, crStride);
    if (crStride != planes.chromaStride)
        return CodecError::cannotWrite;
    const auto stride = static_cast<std::size_t>(rowLayout(image.width, 1, 24).stride);
    if (!BgrToYuv420(image.width, image.height, *rows, stride, planes))
        return CodecError::cannotWrite;
    Result<Nclx> nclx = srgbNclx();
    if (!nclx)
        return nclx.error();
    if (Status described = statusOf(heif_image_set_nclx_color_profile(made, nclx->get())); !described)
        return described.error();
    if (!image.iccProfile.empty())
        if (Status kept = statusOf(heif_image_set_raw_color_profile(made, "prof", image.iccProfile.data(),
                                                                    image.iccProfile.size()));
            !kept)
            return kept.error();
    return source;
}

// heif-enc -q's scale: libheif turns it into one of libaom's quantiser
// levels, (100 - q) * 63 / 100 rounded.
constexpr int levelOfQuality(int quality) { return ((100 - quality) * 63 + 50) / 100; }

// For each quantiser level, the highest quality libheif turns into it.
constexpr std::array<std::int32_t, 64> kQualityOfLevel = [] {
    std::array<std::int32_t, 64> table{};
    for (int quality = 0; quality <= 100; ++quality)
        table[static_cast<std::size_t>(levelOfQuality(quality))] = quality;
    return table;
}();

Result<Encoder> av1Encoder(heif_context* context, std::int32_t quality, int threads)
{
    heif_encoder* made = nullptr;
    if (Status got = statusOf(heif_context_get_encoder_for_format(context, heif_compression_AV1, &made)); !got)
        return CodecError::unsupported;
    Encoder encoder(made);
    const std::array<std::pair<const char*, int>, 2> numbers{{{"speed", kAvifSpeed}, {"threads", threads}}};
    if (Status set = statusOf(heif_encoder_set_lossy_quality(made, quality)); !set)
        return set.error();
    for (const auto& [name, value] : numbers)
        if (Status set = statusOf(heif_encoder_set_parameter_integer(made, name, value)); !set)
            return set.error();
    if (Status set = statusOf(heif_encoder_set_parameter_string(made, "chroma", "420")); !set)
        return set.error();
    return encoder;
}

heif_error appendToVector(heif_context*, const void* data, std::size_t size, void* userdata)
{
    auto* into = static_cast<std::vector<std::uint8_t>*>(userdata);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if (!withoutExceptions([&] { return (into->insert(into->end(), bytes, bytes + size), Status{}); }))
        return {heif_error_Memory_allocation_error, heif_suberror_Unspecified, "out of memory"};
    return {heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

// The Exif (a TIFF structure) and XMP that go into the file beside the picture.
struct Metadata {
    std::span<const std::uint8_t> exif;
    std::span<const std::uint8_t> xmp;
};

Status attachMetadata(heif_context* context, const heif_image_handle* handle, const Metadata& metadata)
{
    constexpr std::size_t kMaxBlock = INT32_MAX;
    if (!metadata.exif.empty() && metadata.exif.size() < kMaxBlock)
        if (Status added = statusOf(heif_context_add_exif_metadata(context, handle, metadata.exif.data(),
                                                                   static_cast<int>(metadata.exif.size())));
            !added)
            return added;
    if (!metadata.xmp.empty() && metadata.xmp.size() < kMaxBlock)
        return statusOf(heif_context_add_XMP_metadata(context, handle, metadata.xmp.data(),
                                                      static_cast<int>(metadata.xmp.size())));
    return {};
}

struct HandleRelease {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};

// One whole file at a quality of heif-enc's scale, in `into`.
Status encodeFile(const heif_image* source, std::int32_t quality, platform::WorkerSlots* workers,
                  const Metadata& metadata, std::vector<std::uint8_t>& into)
{
    Context context(heif_context_alloc());
    if (!context)
        return CodecError::noMemory;
    EncoderThreads threads(workers);
    Result<Encoder> encoder = av1Encoder(context.get(), quality, threads.count());
    if (!encoder)
        return encoder.error();
    heif_image_handle* made = nullptr;
    if (Status encoded = statusOf(heif_context_encode_image(context.get(), source, encoder->get(), nullptr, &made));
        !encoded)
        return encoded;
    const std::unique_ptr<heif_image_handle, HandleRelease> handle(made);
    if (Status attached = attachMetadata(context.get(), handle.get(), metadata); !attached)
        return attached;
    into.clear();
    heif_writer writer{1, appendToVector};
    return statusOf(heif_context_write(context.get(), &writer, &into));
}

Status writeFile(const platform::Path& path, std::span<const std::uint8_t> bytes)
{
    Result<OutputFile> out = OutputFile::create(path);
    if (!out)
        return out.error();
    out->write(bytes);
    return out->finish();
}

std::int32_t avifQuality(std::int32_t quality)
{
    if (quality > kHighestQuality)
        return kDefaultQuality;
    return std::max(quality, kLowestQuality);
}

Status writeAvifBody(const ImageView& image, const platform::Path& path, std::int32_t quality,
                     platform::WorkerSlots* workers)
{
    if (!CanWriteAvif())
        return CodecError::unsupported;
    Result<SourceImage> source = sourceImageOf(image);
    if (!source)
        return source.error();
    std::vector<std::uint8_t> encoded;
    if (Status done = encodeFile(source->get(), avifQuality(quality), workers, {image.exif, image.xmp}, encoded); !done)
        return done;
    return writeFile(path, encoded);
}

// The search runs over the quantiser levels, finest (64) first: qualities
// sharing a level give the same file, so each trial is a different one.
constexpr QualityRange kLevels{1, 64};
std::int32_t qualityOfSearchLevel(std::int32_t level) { return kQualityOfLevel[static_cast<std::size_t>(64 - level)]; }

// libaom writes its output at the end and cannot be stopped, so a trial
// always runs to its end.
Result<TrialEnd> encodeTrial(const heif_image* source, platform::WorkerSlots* workers, const Metadata& metadata,
                             const TrialRequest& trial)
{
    if (Status done = encodeFile(source, qualityOfSearchLevel(trial.quality), workers, metadata, trial.into); !done)
        return done.error();
    return TrialEnd{true, trial.into.size(), 0};
}

// AV1 lengths fall roughly exponentially with the quantiser level.
double levelAxis(std::int32_t level) { return level; }
constexpr LengthModel kAvifLengths{levelAxis, 0.06};

// The sketch of the picture in libheif's form; null when it gets none.
SourceImage sketchImageOf(const ImageView& image, SketchPicture& rows)
{
    PageBuffer converted;
    Result<const std::uint8_t*> pixels = Pixels24(image, converted);
    if (!pixels || !SketchOf(image.width, image.height, *pixels, rows))
        return nullptr;
    const ImageView view{image.width, rows.height, 24, image.palette, rows.pixels};
    Result<SourceImage> made = sourceImageOf(view);
    if (!made)
        return nullptr;
    return std::move(*made);
}

Status writeAvifWithLimitBody(const ImageView& image, const platform::Path& path, std::int64_t limit,
                              platform::WorkerSlots* workers, SizeSearchRecord* record)
{
    if (!CanWriteAvif())
        return CodecError::unsupported;
    Result<SourceImage> source = sourceImageOf(image);
    if (!source)
        return source.error();
    const heif_image* shared = source->get();
    const Metadata metadata{image.exif, image.xmp};
    SketchPicture sketchRows;
    const SourceImage sketch = sketchImageOf(image, sketchRows);
    SizeTarget sized{kLevels, limit, kAvifLengths, workers, 0};
    if (sketch) {
        const heif_image* small = sketch.get();
        sized.sketch = Sketch{[small, workers](const TrialRequest& trial) {
                                  return withoutExceptions([&] { return encodeTrial(small, workers, Metadata{}, trial); });
                              },
                              sketchRows.share, image.exif.size() + image.xmp.size(), true};
    }
    SizeSearch search(sized, [shared, workers, metadata](const TrialRequest& trial) {
                          return withoutExceptions([&] { return encodeTrial(shared, workers, metadata, trial); });
    });
    Result<ChosenTrial> chosen = search.run(record);
    if (!chosen)
        return chosen.error();
    return writeFile(path, chosen->bytes);
}

}  // namespace

bool CanWriteAvif() { return heif_have_encoder_for_format(heif_compression_AV1) != 0; }

Status WriteAvif(const ImageView& image, const platform::Path& path, std::int32_t quality, platform::WorkerSlots* workers)
{
    return withoutExceptions([&] { return writeAvifBody(image, path, quality, workers); });
}

Status WriteAvifWithByteLimit(const ImageView& image, const platform::Path& path, std::int64_t limit,
                              platform::WorkerSlots* workers, SizeSearchRecord* record)
{
    return withoutExceptions([&] { return writeAvifWithLimitBody(image, path, limit, workers, record); });
}

}  // namespace vrelk
