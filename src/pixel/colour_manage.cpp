#include "pixel/colour_manage.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include <lcms2.h>

#include "picture/byte_order.h"
#include "platform/picture_cores.h"
#include "platform/platform.h"

namespace vrelk {
namespace {

struct ProfileCloser {
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using ProfileHandle = std::unique_ptr<void, ProfileCloser>;

// The header's size field must give the length: Little CMS reads tags only
// when asked, so a profile cut short would otherwise open.
ProfileHandle openProfile(std::span<const std::uint8_t> icc)
{
    if (icc.size() < 4 || icc.size() > 0x7FFFFFFFu ||
        LoadU32BE(icc.data()) != icc.size())
        return nullptr;
    return ProfileHandle(cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size())));
}

// sRGB's colorants adapted to the profile connection space's D50 white.
constexpr std::array<cmsCIEXYZ, 3> kSrgbColorants{{
    {0.4360747, 0.2225045, 0.0139322},
    {0.3850649, 0.7168786, 0.0971045},
    {0.1430804, 0.0606169, 0.7141733},
}};
constexpr std::array<cmsTagSignature, 3> kColorantTags{cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                                       cmsSigBlueColorantTag};
constexpr std::array<cmsTagSignature, 3> kCurveTags{cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
// Published sRGB profiles differ from the exact colorants in the fourth
// decimal; other spaces differ in the second.
constexpr double kColorantTolerance = 0.002;

double srgbToLinear(double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); }

bool colorantsAreSrgb(cmsHPROFILE profile)
{
    for (std::size_t c = 0; c < 3; ++c) {
        const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, kColorantTags[c]));
        if (!xyz || std::fabs(xyz->X - kSrgbColorants[c].X) > kColorantTolerance ||
            std::fabs(xyz->Y - kSrgbColorants[c].Y) > kColorantTolerance ||
            std::fabs(xyz->Z - kSrgbColorants[c].Z) > kColorantTolerance)
            return false;
    }
    return true;
}

// Each curve within half a level of sRGB's at every 8-bit sample.
bool curvesAreSrgb(cmsHPROFILE profile)
{
    for (cmsTagSignature tag : kCurveTags) {
        const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(profile, tag));
        if (!curve)
            return false;
        for (int i = 0; i < 256; ++i) {
            const double v = i / 255.0;
            if (std::fabs(cmsEvalToneCurveFloat(curve, static_cast<cmsFloat32Number>(v)) - srgbToLinear(v)) * 255 > 0.5)
                return false;
        }
    }
    return true;
}

// Every tag a conversion needs can be read: a plain transform builds.
bool convertible(cmsHPROFILE profile, cmsUInt32Number format)
{
    const ProfileHandle srgb(cmsCreate_sRGBProfile());
    void* transform = srgb ? cmsCreateTransform(profile, format, srgb.get(), TYPE_BGR_8, INTENT_RELATIVE_COLORIMETRIC,
                                                cmsFLAGS_NOOPTIMIZE | cmsFLAGS_NOCACHE)
                           : nullptr;
    if (!transform)
        return false;
    cmsDeleteTransform(transform);
    return true;
}

bool convertibleClass(cmsHPROFILE profile)
{
    switch (cmsGetDeviceClass(profile)) {
    case cmsSigInputClass:
    case cmsSigDisplayClass:
    case cmsSigOutputClass:
    case cmsSigColorSpaceClass: return true;
    default: return false;
    }
}

constexpr std::array<cmsUInt32Number, 4> kInputFormats{TYPE_BGR_8, TYPE_GRAY_8, TYPE_CMYK_8, TYPE_CMYK_8_REV};

void convertRows(const SrgbTransform& transform, Picture& image, std::int64_t first, std::int64_t last,
                 std::int64_t stride)
{
    const auto width = static_cast<std::size_t>(image.width);
    for (std::int64_t y = first; y < last; ++y) {
        std::uint8_t* row = image.pixels.data() + y * stride;
        transform.convert(row, row, width);
    }
}

void convertPixels(const SrgbTransform& transform, Picture& image)
{
    const std::int64_t stride = image.stride;
    platform::ForRowRanges(image.height, stride, [&](std::int64_t first, std::int64_t end) {
        convertRows(transform, image, first, end, stride);
    });
}

void convertPalette(const SrgbTransform& transform, Palette& palette, bool grey)
{
    std::array<std::uint8_t, 256 * 3> in{};
    std::array<std::uint8_t, 256 * 3> out{};
    for (std::size_t i = 0; i < palette.size(); ++i) {
        if (grey) {
            in[i] = palette[i].rgbGreen;
        } else {
            in[3 * i] = palette[i].rgbBlue;
            in[3 * i + 1] = palette[i].rgbGreen;
            in[3 * i + 2] = palette[i].rgbRed;
        }
    }
    transform.convert(in.data(), out.data(), palette.size());
    for (std::size_t i = 0; i < palette.size(); ++i)
        palette[i] = RgbQuad{out[3 * i], out[3 * i + 1], out[3 * i + 2], palette[i].rgbReserved};
}

// Each row's colours go through a 24-bit row and back; alpha stays. The
// memory of one row is all it needs, and without it nothing changes.
void convertColoursBesideAlpha(const SrgbTransform& transform, Picture& image)
{
    const auto width = static_cast<std::size_t>(image.width);
    std::unique_ptr<std::uint8_t[]> row24 = tryAllocateArray<std::uint8_t>(3 * width);
    if (!row24)
        return;
    std::uint8_t* colours = row24.get();
    for (std::int64_t y = 0; y < image.height; ++y) {
        std::uint8_t* row = image.pixels.data() + y * image.stride;
        for (std::size_t x = 0; x < width; ++x)
            std::copy_n(row + 4 * x, 3, colours + 3 * x);
        transform.convert(colours, colours, width);
        for (std::size_t x = 0; x < width; ++x)
            std::copy_n(colours + 3 * x, 3, row + 4 * x);
    }
}

// Grey images arrive as palette images whose every entry is a grey.
bool isGreyImage(const Picture& image)
{
    if (image.bits() > 8)
        return false;
    return std::all_of(image.palette.begin(), image.palette.end(), [](const RgbQuad& c) {
        return c.rgbRed == c.rgbGreen && c.rgbGreen == c.rgbBlue;
    });
}

void convertImage(Picture& image, SrgbTransform::Input input)
{
    const std::optional<SrgbTransform> transform = SrgbTransform::create(image.meta.iccProfile, input);
    if (!transform)
        return;
    if (image.bits() <= 8)
        convertPalette(*transform, image.palette, input == SrgbTransform::Input::grey);
    else if (image.bits() == 24)
        convertPixels(*transform, image);
    else if (image.layout == PixelLayout::bgra32)
        convertColoursBesideAlpha(*transform, image);
}

struct Primaries {
    int code;
    cmsCIExyY white;
    cmsCIExyYTRIPLE colours;
};

constexpr cmsCIExyY kD65{0.3127, 0.3290, 1.0};

// ITU-T H.273 colour primaries.
constexpr std::array<Primaries, 7> kPrimaries{{
    {1, kD65, {{0.640, 0.330, 1}, {0.300, 0.600, 1}, {0.150, 0.060, 1}}},
    {4, {0.310, 0.316, 1}, {{0.670, 0.330, 1}, {0.210, 0.710, 1}, {0.140, 0.080, 1}}},
    {5, kD65, {{0.640, 0.330, 1}, {0.290, 0.600, 1}, {0.150, 0.060, 1}}},
    {6, kD65, {{0.630, 0.340, 1}, {0.310, 0.595, 1}, {0.155, 0.070, 1}}},
    {7, kD65, {{0.630, 0.340, 1}, {0.310, 0.595, 1}, {0.155, 0.070, 1}}},
    {9, kD65, {{0.708, 0.292, 1}, {0.170, 0.797, 1}, {0.131, 0.046, 1}}},
    {12, kD65, {{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}}},
}};

struct Transfer {
    int code;
    cmsInt32Number type;  // Little CMS parametric curve type
    std::array<cmsFloat64Number, 5> parameters;
};

constexpr int kSrgbTransfer = 13;
constexpr int kUnspecified = 2;

// ITU-T H.273 transfer characteristics that a parametric curve describes;
// unspecified is taken as sRGB's.
constexpr std::array<Transfer, 9> kTransfers{{
    {1, 4, {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081}},
    {6, 4, {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081}},
    {14, 4, {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081}},
    {15, 4, {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081}},
    {kSrgbTransfer, 4, {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045}},
    {kUnspecified, 4, {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045}},
    {4, 1, {2.2}},
    {5, 1, {2.8}},
    {8, 1, {1.0}},
}};

std::vector<std::uint8_t> saveProfile(cmsHPROFILE profile)
{
    cmsUInt32Number size = 0;
    if (!cmsSaveProfileToMem(profile, nullptr, &size) || size == 0)
        return {};
    std::vector<std::uint8_t> bytes(size);
    if (!cmsSaveProfileToMem(profile, bytes.data(), &size))
        return {};
    bytes.resize(size);
    return bytes;
}

}  // namespace

ProfileKind classifyProfile(std::span<const std::uint8_t> icc)
{
    const ProfileHandle profile = openProfile(icc);
    if (!profile || !convertibleClass(profile.get()))
        return ProfileKind::unusable;
    ProfileKind kind = ProfileKind::unusable;
    cmsUInt32Number format = 0;
    switch (cmsGetColorSpace(profile.get())) {
    case cmsSigRgbData: kind = ProfileKind::rgb; format = TYPE_BGR_8; break;
    case cmsSigGrayData: kind = ProfileKind::grey; format = TYPE_GRAY_8; break;
    case cmsSigCmykData: kind = ProfileKind::cmyk; format = TYPE_CMYK_8; break;
    default: return ProfileKind::unusable;
    }
    if (!convertible(profile.get(), format))
        return ProfileKind::unusable;
    if (kind == ProfileKind::rgb && cmsIsMatrixShaper(profile.get()) && colorantsAreSrgb(profile.get()) &&
        curvesAreSrgb(profile.get()))
        return ProfileKind::srgb;
    return kind;
}

// Linear light in fixed point: 0 .. kLinearOne.
constexpr int kLinearBits = 14;
constexpr std::int32_t kLinearOne = 1 << kLinearBits;

struct SrgbTransform::MatrixShaper {
    // [input channel, blue first][level][output channel, blue first]
    std::array<std::array<std::array<std::int32_t, 3>, 256>, 3> share{};
    std::array<std::uint8_t, kLinearOne + 1> level{};
};

namespace {

using Matrix = std::array<std::array<double, 3>, 3>;

// Columns: the red, green and blue colorants.
std::optional<Matrix> colorantMatrix(cmsHPROFILE profile)
{
    Matrix m{};
    for (std::size_t c = 0; c < 3; ++c) {
        const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, kColorantTags[c]));
        if (!xyz)
            return std::nullopt;
        m[0][c] = xyz->X;
        m[1][c] = xyz->Y;
        m[2][c] = xyz->Z;
    }
    return m;
}

Matrix srgbInverse()
{
    Matrix a{};
    for (std::size_t c = 0; c < 3; ++c) {
        a[0][c] = kSrgbColorants[c].X;
        a[1][c] = kSrgbColorants[c].Y;
        a[2][c] = kSrgbColorants[c].Z;
    }
    const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                       a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    Matrix inverse{};
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t c = 0; c < 3; ++c) {
            const std::size_t r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            inverse[r][c] = (a[r1][c1] * a[r2][c2] - a[r1][c2] * a[r2][c1]) / det;
        }
    return inverse;
}

double linearToSrgb(double v) { return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1 / 2.4) - 0.055; }

// The tables of a matrix-shaper profile; none for other profiles.
std::shared_ptr<SrgbTransform::MatrixShaper> matrixShaperTables(cmsHPROFILE profile)
{
    if (cmsGetColorSpace(profile) != cmsSigRgbData || !cmsIsMatrixShaper(profile))
        return nullptr;
    const std::optional<Matrix> colorants = colorantMatrix(profile);
    if (!colorants)
        return nullptr;
    const Matrix toSrgb = srgbInverse();
    auto tables = std::make_shared<SrgbTransform::MatrixShaper>();
    for (std::size_t c = 0; c < 3; ++c) {
        const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(profile, kCurveTags[c]));
        if (!curve)
            return nullptr;
        // Blue-green-red order on both sides.
        auto& share = tables->share[2 - c];
        for (std::size_t v = 0; v < 256; ++v) {
            const double linear = cmsEvalToneCurveFloat(curve, static_cast<cmsFloat32Number>(v / 255.0));
            for (std::size_t o = 0; o < 3; ++o) {
                double weight = 0;
                for (std::size_t k = 0; k < 3; ++k)
                    weight += toSrgb[o][k] * (*colorants)[k][c];
                share[v][2 - o] = static_cast<std::int32_t>(std::lround(weight * linear * kLinearOne));
            }
        }
    }
    for (std::size_t i = 0; i <= static_cast<std::size_t>(kLinearOne); ++i)
        tables->level[i] = static_cast<std::uint8_t>(std::lround(255 * linearToSrgb(double(i) / kLinearOne)));
    return tables;
}

void convertWithTables(const SrgbTransform::MatrixShaper& tables, const std::uint8_t* in, std::uint8_t* out,
                       std::size_t pixels)
{
    for (std::size_t i = 0; i < pixels; ++i, in += 3, out += 3) {
        const auto& b = tables.share[0][in[0]];
        const auto& g = tables.share[1][in[1]];
        const auto& r = tables.share[2][in[2]];
        for (std::size_t o = 0; o < 3; ++o)
            out[o] = tables.level[static_cast<std::size_t>(std::clamp(b[o] + g[o] + r[o], 0, kLinearOne))];
    }
}

// The tables stand in for Little CMS only where they agree with it within
// a level over a grid of colours.
bool tablesAgree(const SrgbTransform::MatrixShaper& tables, void* transform)
{
    constexpr int kSteps = 17;
    std::vector<std::uint8_t> grid;
    for (int b = 0; b < kSteps; ++b)
        for (int g = 0; g < kSteps; ++g)
            for (int r = 0; r < kSteps; ++r)
                for (int v : {b, g, r})
                    grid.push_back(static_cast<std::uint8_t>(std::min(v * 16, 255)));
    std::vector<std::uint8_t> ours(grid.size()), theirs(grid.size());
    const std::size_t pixels = grid.size() / 3;
    convertWithTables(tables, grid.data(), ours.data(), pixels);
    cmsDoTransform(transform, grid.data(), theirs.data(), static_cast<cmsUInt32Number>(pixels));
    for (std::size_t i = 0; i < grid.size(); ++i)
        if (std::abs(ours[i] - theirs[i]) > 1)
            return false;
    return true;
}

}  // namespace

std::optional<SrgbTransform> SrgbTransform::create(std::span<const std::uint8_t> icc, Input input)
{
    const ProfileHandle source = openProfile(icc);
    const ProfileHandle srgb(cmsCreate_sRGBProfile());
    if (!source || !srgb)
        return std::nullopt;
    // Without the one-pixel cache the transform holds no state that changes,
    // so threads may share it.
    void* transform = cmsCreateTransform(source.get(), kInputFormats[static_cast<std::size_t>(input)], srgb.get(),
                                         TYPE_BGR_8, INTENT_RELATIVE_COLORIMETRIC,
                                         cmsFLAGS_BLACKPOINTCOMPENSATION | cmsFLAGS_NOCACHE);
    if (!transform)
        return std::nullopt;
    SrgbTransform made(transform);
    // Little CMS's own 8-bit path spends most of a photo's conversion time
    // on each pixel's packing and unpacking; a matrix and two curves need
    // only table look-ups.
    if (input == Input::bgr) {
        std::shared_ptr<MatrixShaper> tables = matrixShaperTables(source.get());
        if (tables && tablesAgree(*tables, transform))
            made.shaper_ = std::move(tables);
    }
    return made;
}

void SrgbTransform::Deleter::operator()(void* transform) const { cmsDeleteTransform(transform); }

void SrgbTransform::convert(const std::uint8_t* in, std::uint8_t* out, std::size_t pixels) const
{
    if (shaper_)
        convertWithTables(*shaper_, in, out, pixels);
    else
        cmsDoTransform(transform_.get(), in, out, static_cast<cmsUInt32Number>(pixels));
}

void SettleColours(Picture& image, bool writerKeepsRgbProfile)
{
    if (image.meta.iccProfile.empty())
        return;
    switch (classifyProfile(image.meta.iccProfile)) {
    case ProfileKind::rgb:
        if (writerKeepsRgbProfile)
            return;
        convertImage(image, SrgbTransform::Input::bgr);
        break;
    case ProfileKind::grey:
        // No writer of this program stores a grey picture, so a grey
        // profile never goes along.
        if (isGreyImage(image))
            convertImage(image, SrgbTransform::Input::grey);
        break;
    default: break;
    }
    image.meta.iccProfile = {};
}

std::vector<std::uint8_t> ProfileFromCodePoints(int primaries, int transfer)
{
    if ((primaries == 1 || primaries == kUnspecified) && (transfer == kSrgbTransfer || transfer == kUnspecified))
        return {};
    const int primariesCode = primaries == kUnspecified ? 1 : primaries;
    const auto* colours = std::find_if(kPrimaries.begin(), kPrimaries.end(),
                                       [&](const Primaries& p) { return p.code == primariesCode; });
    const auto* curve = std::find_if(kTransfers.begin(), kTransfers.end(),
                                     [&](const Transfer& t) { return t.code == transfer; });
    if (colours == kPrimaries.end() || curve == kTransfers.end())
        return {};
    cmsToneCurve* tone = cmsBuildParametricToneCurve(nullptr, curve->type, curve->parameters.data());
    if (!tone)
        return {};
    cmsToneCurve* curves[3] = {tone, tone, tone};
    const ProfileHandle profile(cmsCreateRGBProfile(&colours->white, &colours->colours, curves));
    cmsFreeToneCurve(tone);
    if (!profile)
        return {};
    return saveProfile(profile.get());
}

}  // namespace vrelk
