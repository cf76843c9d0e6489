#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include <webp/encode.h>
#include <webp/mux.h>

#include "codecs/files.h"
#include "codecs/size_search.h"
#include "codecs/size_sketch.h"
#include "codecs/webp.h"
#include "platform/picture_cores.h"

namespace vrelk {
namespace {

// A picture in libwebp's own YUV form, converted once from the image's
// rows and reusable for any number of encodings: the encoder changes a
// picture's planes only where it has alpha, and is told not to (the
// transparent areas are flattened once, on import).
class EncoderPicture {
public:
    EncoderPicture() { WebPPictureInit(&picture_); }
    ~EncoderPicture() { WebPPictureFree(&picture_); }
    EncoderPicture(const EncoderPicture&) = delete;
    EncoderPicture& operator=(const EncoderPicture&) = delete;

    Status import(std::int32_t width, std::int32_t height, const std::uint8_t* rows)
    {
        picture_.width = width;
        picture_.height = height;
        picture_.use_argb = 0;
        const auto stride = static_cast<int>(rowLayout(width, 1, 24).stride);
        // The top row of the picture is the last row in memory.
        const std::uint8_t* top = rows + static_cast<std::size_t>(height - 1) * static_cast<std::size_t>(stride);
        switch (importInBands(top, stride)) {
        case Banded::done: return {};
        case Banded::noMemory: return CodecError::noMemory;
        case Banded::unsplit: break;
        }
        if (!WebPPictureImportBGR(&picture_, top, -stride))
            return CodecError::noMemory;
        return {};
    }

    // Bottom-up bgra32 rows with their alpha.
    Status importWithAlpha(const ImageView& image)
    {
        picture_.width = image.width;
        picture_.height = image.height;
        picture_.use_argb = 0;
        const auto stride = static_cast<int>(rowLayout(image.width, 1, 32).stride);
        const std::uint8_t* top =
            image.pixels.data() + static_cast<std::size_t>(image.height - 1) * static_cast<std::size_t>(stride);
        if (!WebPPictureImportBGRA(&picture_, top, -stride))
            return CodecError::noMemory;
        WebPCleanupTransparentArea(&picture_);
        return {};
    }

    WebPPicture& get() { return picture_; }
    const WebPPicture& get() const { return picture_; }

private:
    enum class Banded { done, unsplit, noMemory };

    // libwebp converts each pair of rows on its own, so bands of rows
    // converted on the picture's lent cores, each band as a picture of its
    // own copied into place, give the planes of one import.
    Banded importInBands(const std::uint8_t* top, int stride)
    {
        if (!platform::currentPictureCores().slots || !WebPPictureAlloc(&picture_))
            return Banded::unsplit;
        fillGammaTables();
        const std::int64_t pairs = (std::int64_t{picture_.height} + 1) / 2;
        std::atomic<bool> split{false};
        std::atomic<bool> imported{true};
        platform::ForRowRanges(pairs, 2 * std::int64_t{stride}, [&](std::int64_t first, std::int64_t end) {
            if (first == 0 && end == pairs)
                return;
            split = true;
            for (std::int64_t pair = first; pair < end && imported; pair += kBandPairs) {
                const auto from = static_cast<int>(2 * pair);
                const auto to = static_cast<int>(std::min(2 * std::min(pair + kBandPairs, end), std::int64_t{picture_.height}));
                if (!importBand(top, stride, from, to))
                    imported = false;
            }
        });
        return !split ? Banded::unsplit : imported ? Banded::done : Banded::noMemory;
    }

    // Rows [from, to) of the picture, `from` even.
    bool importBand(const std::uint8_t* top, int stride, int from, int to)
    {
        WebPPicture band;
        if (!WebPPictureInit(&band))
            return false;
        band.width = picture_.width;
        band.height = to - from;
        band.use_argb = 0;
        const bool imported = WebPPictureImportBGR(&band, top - std::ptrdiff_t{from} * stride, -stride) != 0;
        if (imported) {
            const int chromaWidth = (band.width + 1) / 2;
            const int chromaRows = (band.height + 1) / 2;
            copyPlane(band.y, band.y_stride, picture_.y + std::ptrdiff_t{from} * picture_.y_stride, picture_.y_stride,
                      band.width, band.height);
            copyPlane(band.u, band.uv_stride, picture_.u + std::ptrdiff_t{from / 2} * picture_.uv_stride,
                      picture_.uv_stride, chromaWidth, chromaRows);
            copyPlane(band.v, band.uv_stride, picture_.v + std::ptrdiff_t{from / 2} * picture_.uv_stride,
                      picture_.uv_stride, chromaWidth, chromaRows);
        }
        WebPPictureFree(&band);
        return imported;
    }

    static void copyPlane(const std::uint8_t* from, int fromStride, std::uint8_t* to, int toStride, int width, int rows)
    {
        for (int y = 0; y < rows; ++y)
            std::memcpy(to + std::ptrdiff_t{y} * toStride, from + std::ptrdiff_t{y} * fromStride,
                        static_cast<std::size_t>(width));
    }

    // libwebp fills the gamma tables of its conversion on first use,
    // without a lock: one small import does it before threads share them.
    static void fillGammaTables()
    {
        static const bool filled = [] {
            const std::uint8_t pixels[12] = {};
            WebPPicture tiny;
            if (WebPPictureInit(&tiny)) {
                tiny.width = 2;
                tiny.height = 2;
                WebPPictureImportBGR(&tiny, pixels, 6);
                WebPPictureFree(&tiny);
            }
            return true;
        }();
        (void)filled;
    }

    // Rows converted at a time: a band's own planes stay small.
    static constexpr std::int64_t kBandPairs = 32;

    WebPPicture picture_;
};

// The planes of a shared picture under a record of its own, which one
// encoding writes into (writer, progress, error), so that trials on
// several threads can encode the same picture.
class PictureView {
public:
    explicit PictureView(const EncoderPicture& picture)
    {
        const WebPPicture& shared = picture.get();
        made_ = WebPPictureInit(&view_) && WebPPictureView(&shared, 0, 0, shared.width, shared.height, &view_);
    }
    ~PictureView() { WebPPictureFree(&view_); }
    PictureView(const PictureView&) = delete;
    PictureView& operator=(const PictureView&) = delete;

    bool made() const { return made_; }
    WebPPicture& get() { return view_; }

private:
    WebPPicture view_;
    bool made_ = false;
};

// The settings cwebp uses by default, at a quality.
bool configure(WebPConfig& config, std::int32_t quality)
{
    if (!WebPConfigInit(&config))
        return false;
    config.quality = static_cast<float>(quality);
    return WebPValidateConfig(&config) != 0;
}

// libwebp's writer callback into the vector given as the picture's
// custom pointer; no exception may cross the library.
int appendToVector(const std::uint8_t* data, std::size_t size, const WebPPicture* picture)
{
    auto* into = static_cast<std::vector<std::uint8_t>*>(picture->custom_ptr);
    try {
        into->insert(into->end(), data, data + size);
    } catch (const std::bad_alloc&) {
        return 0;
    } catch (const std::length_error&) {
        return 0;
    }
    return 1;
}

Status encodeInto(WebPPicture& p, std::int32_t quality, std::vector<std::uint8_t>& into)
{
    WebPConfig config;
    if (!configure(config, quality))
        return CodecError::cannotWrite;
    // A picture with alpha was made ready on import and may be shared.
    config.exact = p.a != nullptr ? 1 : 0;
    into.clear();
    p.writer = appendToVector;
    p.custom_ptr = &into;
    // libwebp's second thread analyses half the picture and gives the
    // bytes of one thread; it runs only on a core the picture was lent.
    const platform::LibraryThreads threads(2);
    config.thread_level = threads.count() > 1;
    if (WebPEncode(&config, &p))
        return {};
    return p.error_code == VP8_ENC_ERROR_OUT_OF_MEMORY || p.error_code == VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY
               ? CodecError::noMemory
               : CodecError::cannotWrite;
}

struct MuxDeleter {
    void operator()(WebPMux* mux) const { WebPMuxDelete(mux); }
};
using Mux = std::unique_ptr<WebPMux, MuxDeleter>;

// A file the muxer assembled, freed by libwebp.
struct Assembled {
    Assembled() { WebPDataInit(&data); }
    ~Assembled() { WebPDataClear(&data); }
    Assembled(const Assembled&) = delete;
    Assembled& operator=(const Assembled&) = delete;
    WebPData data;
};

// What a file carries besides its bitstream, each in a chunk of its own.
struct Chunks {
    std::span<const std::uint8_t> icc;
    std::span<const std::uint8_t> exif;
    std::span<const std::uint8_t> xmp;
};

Chunks chunksOf(const ImageView& image) { return {image.iccProfile, image.exif, image.xmp}; }

// The encoded file with the picture's colour profile, Exif and XMP in
// their chunks, in place; nothing changes without any of them.
Status attachChunks(std::vector<std::uint8_t>& encoded, const Chunks& chunks)
{
    const std::pair<const char*, std::span<const std::uint8_t>> named[] = {
        {"ICCP", chunks.icc}, {"EXIF", chunks.exif}, {"XMP ", chunks.xmp}};
    if (std::all_of(std::begin(named), std::end(named), [](const auto& chunk) { return chunk.second.empty(); }))
        return {};
    const WebPData bitstream{encoded.data(), encoded.size()};
    const Mux mux(WebPMuxCreate(&bitstream, 0));
    if (!mux)
        return CodecError::cannotWrite;
    for (const auto& [fourcc, bytes] : named) {
        const WebPData data{bytes.data(), bytes.size()};
        if (!bytes.empty() && WebPMuxSetChunk(mux.get(), fourcc, &data, 0) != WEBP_MUX_OK)
            return CodecError::cannotWrite;
    }
    Assembled assembled;
    if (const WebPMuxError error = WebPMuxAssemble(mux.get(), &assembled.data); error != WEBP_MUX_OK)
        return error == WEBP_MUX_MEMORY_ERROR ? CodecError::noMemory : CodecError::cannotWrite;
    encoded.assign(assembled.data.bytes, assembled.data.bytes + assembled.data.size);
    return {};
}

// One whole file at a quality: the encoding and its chunks.
Status encodeFile(WebPPicture& picture, std::int32_t quality, const Chunks& chunks, std::vector<std::uint8_t>& into)
{
    if (Status done = encodeInto(picture, quality, into); !done)
        return done;
    return attachChunks(into, chunks);
}

Status writeFile(const platform::Path& path, std::span<const std::uint8_t> bytes)
{
    Result<OutputFile> out = OutputFile::create(path);
    if (!out)
        return out.error();
    out->write(bytes);
    return out->finish();
}

// WebP stores sides of at most 16383 pixels; larger pictures are refused
// before any work.
bool fitsWebp(const ImageView& image)
{
    return image.width <= WEBP_MAX_DIMENSION && image.height <= WEBP_MAX_DIMENSION;
}

// The image's pixels in libwebp's picture, which keeps its own copy, and
// when `sketch` is given, the sketch of them in it.
Status loadPicture(const ImageView& image, EncoderPicture& picture, SketchPicture* sketch = nullptr,
                   EncoderPicture* sketched = nullptr)
{
    if (!fitsWebp(image))
        return CodecError::unsupported;
    if (image.bitCount == 32) {
        const RowLayout rows = rowLayout(image.width, image.height, 32);
        if (image.width < 1 || image.height < 1 || image.pixels.size() < static_cast<std::uint64_t>(rows.imageSize))
            return CodecError::cannotWrite;
        return picture.importWithAlpha(image);
    }
    PageBuffer converted;
    Result<const std::uint8_t*> rows = Pixels24(image, converted);
    if (!rows)
        return rows.error();
    if (sketch && sketched && SketchOf(image.width, image.height, *rows, *sketch) &&
        !sketched->import(image.width, sketch->height, sketch->pixels.data()))
        sketch->height = 0;
    return picture.import(image.width, image.height, *rows);
}

Status writeWebpBody(const ImageView& image, const platform::Path& path, std::int32_t quality)
{
    EncoderPicture picture;
    if (Status loaded = loadPicture(image, picture); !loaded)
        return loaded;
    std::vector<std::uint8_t> encoded;
    if (Status done = encodeFile(picture.get(), webpQuality(quality), chunksOf(image), encoded); !done)
        return done;
    return writeFile(path, encoded);
}

// libwebp's progress callback on a trial's view: a false return ends the
// encoding.
int continueUnlessCancelled(int, const WebPPicture* picture)
{
    return static_cast<const std::atomic<bool>*>(picture->user_data)->load(std::memory_order_relaxed) ? 0 : 1;
}

// One trial: the whole file at the trial's quality, profile included, as
// it counts against the limit. libwebp writes its output at the end, so a
// trial runs to its end unless cancelled.
Result<TrialEnd> encodeTrial(const EncoderPicture& picture, const Chunks& chunks, const TrialRequest& trial)
{
    PictureView view(picture);
    if (!view.made())
        return CodecError::cannotWrite;
    view.get().progress_hook = continueUnlessCancelled;
    view.get().user_data = const_cast<std::atomic<bool>*>(&trial.cancel);
    if (Status done = encodeFile(view.get(), trial.quality, chunks, trial.into); !done)
        return done.error();
    return TrialEnd{true, trial.into.size(), 0};
}

// Lossy WebP lengths fall roughly exponentially with the quality.
double qualityAxis(std::int32_t quality) { return quality; }
constexpr LengthModel kWebpLengths{qualityAxis, 0.05};

Status writeWebpWithLimitBody(const ImageView& image, const platform::Path& path, std::int64_t limit,
                              platform::WorkerSlots* workers, SizeSearchRecord* record)
{
    EncoderPicture picture;
    SketchPicture sketch;
    EncoderPicture sketched;
    if (Status loaded = loadPicture(image, picture, &sketch, &sketched); !loaded)
        return loaded;
    const Chunks chunks = chunksOf(image);
    SizeTarget target{{}, limit, kWebpLengths, workers, 0};
    if (sketch.height > 0) {
        sketch.pixels = {};
        target.sketch = Sketch{[&sketched](const TrialRequest& trial) {
                                   return withoutExceptions([&] { return encodeTrial(sketched, {}, trial); });
                               },
                               sketch.share, chunks.icc.size() + chunks.exif.size() + chunks.xmp.size()};
    }
    SizeSearch search(target, [&picture, chunks](const TrialRequest& trial) {
        return withoutExceptions([&] { return encodeTrial(picture, chunks, trial); });
    });
    Result<ChosenTrial> chosen = search.run(record);
    if (!chosen)
        return chosen.error();
    return writeFile(path, chosen->bytes);
}

}  // namespace

std::int32_t webpQuality(std::int32_t quality)
{
    if (quality > kHighestQuality)
        return kDefaultQuality;
    return quality < kLowestQuality ? kLowestQuality : quality;
}

Status WriteWebp(const ImageView& image, const platform::Path& path, std::int32_t quality)
{
    return withoutExceptions([&] { return writeWebpBody(image, path, quality); });
}

Status WriteWebpWithByteLimit(const ImageView& image, const platform::Path& path, std::int64_t limit,
                              platform::WorkerSlots* workers, SizeSearchRecord* record)
{
    return withoutExceptions([&] { return writeWebpWithLimitBody(image, path, limit, workers, record); });
}

}  // namespace vrelk
