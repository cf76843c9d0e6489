#include "pixel/yuv420.h"

#include <algorithm>

#include "platform/picture_cores.h"

namespace vrelk {
namespace {

// Worked in single precision and rounded half up, as libheif converts the
// RGB it is handed, so that a file is the one heif-enc makes of the
// same pixels.
constexpr float kRedShare = 0.299f;
constexpr float kBlueShare = 0.114f;
constexpr float kGreenShare = 1 - kRedShare - kBlueShare;

struct Weights {
    float red, green, blue, offset;
};
constexpr Weights kLuma{kRedShare, kGreenShare, kBlueShare, 0};
constexpr Weights kBlueDifference{-kRedShare / (1 - kBlueShare) / 2, -kGreenShare / (1 - kBlueShare) / 2, 0.5f, 128};
constexpr Weights kRedDifference{0.5f, -kGreenShare / (1 - kRedShare) / 2, -kBlueShare / (1 - kRedShare) / 2, 128};

std::uint8_t sampleOf(const Weights& w, int blue, int green, int red)
{
    const float value = red * w.red + green * w.green + blue * w.blue + w.offset;
    return static_cast<std::uint8_t>(std::clamp(static_cast<long>(value + 0.5f), 0L, 255L));
}

struct Rows {
    std::int32_t width, height;
    const std::uint8_t* bgr;
    std::size_t stride;

    // Row `y` counted from the top.
    const std::uint8_t* row(std::int32_t y) const { return bgr + static_cast<std::size_t>(height - 1 - y) * stride; }
};

void lumaRow(const std::uint8_t* bgr, std::int32_t width, std::uint8_t* out)
{
    for (std::int32_t x = 0; x < width; ++x, bgr += 3)
        out[x] = sampleOf(kLuma, bgr[0], bgr[1], bgr[2]);
}

// The chroma of two rows' block at `left` and `right` (the same pixel
// where the picture has no column to pair it with): their colour averaged,
// truncated.
void chromaSample(const std::uint8_t* top, const std::uint8_t* bottom, std::size_t left, std::size_t right,
                  std::uint8_t* cb, std::uint8_t* cr)
{
    int average[3];
    for (std::size_t c = 0; c < 3; ++c)
        average[c] = (top[left + c] + top[right + c] + bottom[left + c] + bottom[right + c]) / 4;
    *cb = sampleOf(kBlueDifference, average[0], average[1], average[2]);
    *cr = sampleOf(kRedDifference, average[0], average[1], average[2]);
}

void chromaRow(const std::uint8_t* top, const std::uint8_t* bottom, std::int32_t width, std::uint8_t* cb,
               std::uint8_t* cr)
{
    const std::int32_t pairs = width / 2;
    for (std::int32_t x = 0; x < pairs; ++x)
        chromaSample(top, bottom, 6 * static_cast<std::size_t>(x), 6 * static_cast<std::size_t>(x) + 3, cb + x, cr + x);
    if (width % 2 != 0) {
        const std::size_t last = 3 * static_cast<std::size_t>(width - 1);
        chromaSample(top, bottom, last, last, cb + pairs, cr + pairs);
    }
}

// Rows 2 * pair and the one below it, which a picture of odd height
// lacks under its last row: that row then stands for both.
void convertRowPair(const Rows& rows, const Yuv420Planes& planes, std::int32_t pair)
{
    const std::int32_t top = 2 * pair;
    const std::int32_t bottom = std::min(top + 1, rows.height - 1);
    lumaRow(rows.row(top), rows.width, planes.y.data() + static_cast<std::size_t>(top) * planes.lumaStride);
    if (bottom != top)
        lumaRow(rows.row(bottom), rows.width, planes.y.data() + static_cast<std::size_t>(bottom) * planes.lumaStride);
    const std::size_t at = static_cast<std::size_t>(pair) * planes.chromaStride;
    chromaRow(rows.row(top), rows.row(bottom), rows.width, planes.cb.data() + at, planes.cr.data() + at);
}

bool planesHold(std::int32_t width, std::int32_t height, const Yuv420Planes& planes)
{
    const auto columns = static_cast<std::size_t>(width);
    const auto lines = static_cast<std::size_t>(height);
    const std::size_t chromaColumns = (columns + 1) / 2;
    const std::size_t chromaLines = (lines + 1) / 2;
    return planes.lumaStride >= columns && planes.chromaStride >= chromaColumns &&
           planes.y.size() / planes.lumaStride >= lines && planes.cb.size() / planes.chromaStride >= chromaLines &&
           planes.cr.size() / planes.chromaStride >= chromaLines;
}

}  // namespace

bool BgrToYuv420(std::int32_t width, std::int32_t height, const std::uint8_t* bgr, std::size_t stride,
                 const Yuv420Planes& planes)
{
    if (width <= 0 || height <= 0 || !bgr || stride < 3 * static_cast<std::size_t>(width) ||
        planes.lumaStride == 0 || planes.chromaStride == 0 || !planesHold(width, height, planes))
        return false;
    const Rows rows{width, height, bgr, stride};
    const auto convertPairs = [&](std::int64_t first, std::int64_t end) {
        for (std::int64_t pair = first; pair < end; ++pair)
            convertRowPair(rows, planes, static_cast<std::int32_t>(pair));
    };
    platform::ForRowRanges((height + 1) / 2, static_cast<std::int64_t>(2 * stride), convertPairs);
    return true;
}

}  // namespace vrelk
