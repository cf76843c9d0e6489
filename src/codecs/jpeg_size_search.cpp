#include <algorithm>
#include <cmath>
#include <optional>

#include "codecs/files.h"
#include "codecs/jpeg.h"
#include "codecs/jpeg_encode.h"
#include "codecs/size_search.h"
#include "codecs/size_sketch.h"
#include "platform/platform.h"

namespace vrelk {
namespace {

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
constexpr LengthModel kJpegLengths{logTableScale, -0.8};

// One trial: the job at the trial's quality into the trial's buffer,
// followed for cancelling.
TrialEncoder jpegTrials(const JpegJob& job)
{
    return [job](const TrialRequest& trial) -> Result<TrialEnd> {
        JpegJob at = job;
        at.encoding.quality = trial.quality;
        std::size_t length = 0;
        bool stopped = false;
        double outputDone = 0;
        if (encodeJpeg(at, JpegOutput{nullptr, &trial.into, &length, trial.stopAfter, &stopped, &trial.cancel, &outputDone}))
            return TrialEnd{true, length, 0};
        if (stopped)
            return TrialEnd{false, 0, outputDone};
        return CodecError::cannotWrite;
    };
}

// The working state of one size-limited write, in one place because its
// lifetimes depend on each other: a trial may still be encoding on its
// thread, reading the 24-bit pixels (their converted copy or the image's
// own) and the component planes. The destructor stops the trials first,
// so nothing they read is freed under them, whatever order the members
// are declared in.
class JpegSizeSearch {
public:
    JpegSizeSearch() = default;
    JpegSizeSearch(const JpegSizeSearch&) = delete;
    JpegSizeSearch& operator=(const JpegSizeSearch&) = delete;
    ~JpegSizeSearch()
    {
        if (search_)
            search_->stop();
    }

    // Searches the quality and gives the encoding to write; `record`, when
    // given, gets what the search tried once it has run.
    Result<ChosenTrial> run(const ImageView& image, const JpegEncoding& encoding, std::int64_t limit,
                            SizeSearchRecord* record);

private:
    PageBuffer converted_;
    SketchPicture sketch_;
    ComponentPlanes planes_;
    std::optional<SizeSearch> search_;
};

Result<ChosenTrial> JpegSizeSearch::run(const ImageView& image, const JpegEncoding& encoding, std::int64_t limit,
                                        SizeSearchRecord* record)
{
    Result<const std::uint8_t*> rows = Pixels24(image, converted_);
    if (!rows)
        return rows.error();

    const auto uncompressed = static_cast<std::uint64_t>(rowLayout(image.width, image.height, 24).imageSize);
    const std::uint64_t target = limit > 0 ? static_cast<std::uint64_t>(limit) : 0;
    // Trials near the target fit the buffer as first sized; larger ones
    // grow it.
    const auto trialBuffer = static_cast<std::size_t>(
        std::clamp<std::uint64_t>(target + 1, 1u << 16, std::max<std::uint64_t>(uncompressed, 1u << 16)));

    JpegJob job{image.width,      image.height, *rows,     encoding,        nullptr,
                image.iccProfile, image.exif,   image.xmp, image.resolution};
    SizeTarget sized{{}, limit, kJpegLengths, encoding.workers, trialBuffer};
    if (SketchOf(image.width, image.height, *rows, sketch_)) {
        const JpegJob sketched{image.width, sketch_.height, sketch_.pixels.data(), encoding};
        sized.sketch = Sketch{jpegTrials(sketched), sketch_.share,
                               image.iccProfile.size() + image.exif.size() + image.xmp.size()};
    }
    SizeSearch& search = search_.emplace(sized, jpegTrials(job));
    // The search's first trial converts the pixels itself while the planes
    // for the other trials are built beside it. Without memory for the
    // planes every trial converts the pixels.
    if (Status begun = search.begin(); !begun)
        return begun.error();
    if (buildPlanes(image.width, image.height, *rows, encoding, planes_)) {
        job.planes = &planes_;
        search.useEncoder(jpegTrials(job));
    }
    return search.run(record);
}

}  // namespace

Status WriteJpegWithLimit(const ImageView& image, const platform::Path& path, const JpegEncoding& encoding,
                          std::int32_t kilobytes, SizeSearchRecord* record)
{
    return WriteJpegWithByteLimit(image, path, encoding, std::int64_t{kilobytes} * 1024, record);
}

static Status writeJpegWithByteLimitBody(const ImageView& image, const platform::Path& path, const JpegEncoding& encoding,
                                         std::int64_t limit, SizeSearchRecord* record)
{
    JpegSizeSearch search;
    Result<ChosenTrial> chosen = search.run(image, encoding, limit, record);
    if (!chosen)
        return chosen.error();

    Result<OutputFile> out = OutputFile::create(path);
    if (!out)
        return out.error();
    out->write(chosen->bytes);
    return out->finish();
}

Status WriteJpegWithByteLimit(const ImageView& image, const platform::Path& path, const JpegEncoding& encoding,
                              std::int64_t limit, SizeSearchRecord* record)
{
    return withoutExceptions([&] { return writeJpegWithByteLimitBody(image, path, encoding, limit, record); });
}

}  // namespace vrelk
