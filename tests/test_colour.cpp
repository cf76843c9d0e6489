// Embedded colour profiles read from JPEG and PNG: the segments and chunks
// that carry them, their kinds, and conversion against Little CMS.
#include <gtest/gtest.h>

#include <zlib.h>

#include <fstream>
#include <string>

#include "codecs/icc_profile.h"
#include "colour_test_support.h"
#include "jpeg_test_support.h"
#include "pixel/colour_manage.h"
#include "png_builder.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using test::CliInstall;
using test::quoted;
using Bytes = std::vector<std::uint8_t>;

using test::asString;
using test::iccChunk;
using test::readBytes;
using test::thirds;

TEST(IccSegments, OnlyAWholeProfileIsAssembled)
{
    const Bytes profile = test::displayP3Profile();
    const auto [a, b, c] = thirds(profile);
    Bytes cutShort(profile.begin(), profile.end() - 10);
    Bytes padded = profile;
    padded.resize(padded.size() + 10);
    Bytes unsigned_ = profile;
    unsigned_[36] = 'x';
    const Bytes other = {'M', 'P', 'F', 0, 1, 2, 3};

    struct Case {
        const char* name;
        std::vector<Bytes> payloads;
        bool whole;
    };
    const std::vector<Case> cases{
        {"one segment", {iccChunk(1, 1, profile)}, true},
        {"three, stored out of order", {iccChunk(2, 3, b), iccChunk(3, 3, c), iccChunk(1, 3, a)}, true},
        {"other APP2 segments between", {other, iccChunk(1, 3, a), other, iccChunk(2, 3, b), iccChunk(3, 3, c)}, true},
        {"sequence number 0", {iccChunk(0, 3, a), iccChunk(2, 3, b), iccChunk(3, 3, c)}, false},
        {"sequence number past the count", {iccChunk(1, 2, a), iccChunk(3, 2, b)}, false},
        {"a number twice", {iccChunk(1, 3, a), iccChunk(1, 3, b), iccChunk(3, 3, c)}, false},
        {"a missing segment", {iccChunk(1, 3, a), iccChunk(3, 3, c)}, false},
        {"counts disagree", {iccChunk(1, 3, a), iccChunk(2, 2, b), iccChunk(3, 3, c)}, false},
        {"count 0", {iccChunk(1, 0, profile)}, false},
        {"size field past the end", {iccChunk(1, 1, cutShort)}, false},
        {"size field short of the end", {iccChunk(1, 1, padded)}, false},
        {"no profile signature", {iccChunk(1, 1, unsigned_)}, false},
        {"only the chunk header", {iccChunk(1, 1, {})}, false},
        {"no ICC segment", {other}, false},
    };
    for (const Case& test : cases) {
        std::vector<std::span<const std::uint8_t>> views(test.payloads.begin(), test.payloads.end());
        EXPECT_EQ(AssembleJpegIccProfile(views), test.whole ? profile : Bytes{}) << test.name;
    }
}

// Sizes around the segment capacity: the split is what libjpeg reads back.
TEST(IccSegments, SplitAsLibjpegReadsIt)
{
    for (std::size_t size : {std::size_t{132}, kJpegIccChunkBytes, kJpegIccChunkBytes + 1, 3 * kJpegIccChunkBytes + 7}) {
        Bytes profile(size);
        for (std::size_t i = 0; i < size; ++i)
            profile[i] = static_cast<std::uint8_t>(i * 7);
        profile[0] = static_cast<std::uint8_t>(size >> 24);
        profile[1] = static_cast<std::uint8_t>(size >> 16);
        profile[2] = static_cast<std::uint8_t>(size >> 8);
        profile[3] = static_cast<std::uint8_t>(size);
        std::copy_n("acsp", 4, profile.begin() + 36);

        const auto segments = SplitJpegIccProfile(profile);
        EXPECT_EQ(segments.size(), (size + kJpegIccChunkBytes - 1) / kJpegIccChunkBytes) << size;
        test::JpegRecipe recipe;
        for (const Bytes& segment : segments)
            recipe.markers.emplace_back(JPEG_APP0 + 2, asString(segment));
        EXPECT_EQ(test::jpegIccProfile(test::makeJpeg(recipe, test::noise(16 * 16 * 3))), profile) << size;
    }
    EXPECT_TRUE(SplitJpegIccProfile(Bytes(kMaxIccProfileBytes + 1)).empty());
}

TEST(IccpChunk, DamagedChunksGiveNoProfile)
{
    const Bytes profile = test::displayP3Profile();
    const Bytes good = IccpChunkData(profile);
    ASSERT_EQ(ProfileFromIccpChunk(good), profile);

    const std::size_t nameEnd = static_cast<std::size_t>(std::find(good.begin(), good.end(), 0) - good.begin());
    auto changed = [&](auto change) {
        Bytes data = good;
        change(data);
        return data;
    };
    Bytes stream = test::deflateBytes(profile);
    Bytes hugeStream = test::deflateBytes(Bytes(kMaxIccProfileBytes + 1));
    auto named = [](const std::string& name, const Bytes& compressed) {
        Bytes data(name.begin(), name.end());
        data.push_back(0);
        data.push_back(0);
        data.insert(data.end(), compressed.begin(), compressed.end());
        return data;
    };
    struct Case {
        const char* name;
        Bytes data;
    };
    const std::vector<Case> cases{
        {"a byte of the stream changed", changed([&](Bytes& d) { d[nameEnd + 2 + d.size() / 2 - nameEnd / 2] ^= 0x55; })},
        {"the stream cut short", changed([](Bytes& d) { d.resize(d.size() - 6); })},
        {"compression method 1", changed([&](Bytes& d) { d[nameEnd + 1] = 1; })},
        {"no name", named("", stream)},
        {"a name of 80 bytes", named(std::string(80, 'n'), stream)},
        {"no zero behind the name", Bytes(100, 'n')},
        {"inflates past the limit", named("big", hugeStream)},
        {"not a profile inside", named("text", test::deflateBytes(Bytes(500, 7)))},
    };
    for (const Case& test : cases)
        EXPECT_TRUE(ProfileFromIccpChunk(test.data).empty()) << test.name;
    EXPECT_EQ(ProfileFromIccpChunk(named(std::string(79, 'n'), stream)), profile);
}

TEST(ColourProfiles, KindsAndProfilesFromCodePoints)
{
    Bytes damaged = test::displayP3Profile();
    damaged.resize(damaged.size() / 2);
    struct Case {
        const char* name;
        Bytes profile;
        ProfileKind kind;
    };
    const std::vector<Case> cases{
        {"sRGB", test::srgbProfile(), ProfileKind::srgb},
        {"sRGB from code points 1, 13", ProfileFromCodePoints(1, 13), ProfileKind::unusable},
        {"Display P3", test::displayP3Profile(), ProfileKind::rgb},
        {"Adobe RGB", test::adobeRgbProfile(), ProfileKind::rgb},
        {"BT.709 primaries, gamma 2.2 (1, 4)", ProfileFromCodePoints(1, 4), ProfileKind::rgb},
        {"BT.2020 (9, 14)", ProfileFromCodePoints(9, 14), ProfileKind::rgb},
        {"grey", test::greyProfile(), ProfileKind::grey},
        {"cut in half", damaged, ProfileKind::unusable},
        {"not a profile", Bytes(300, 1), ProfileKind::unusable},
    };
    for (const Case& test : cases)
        EXPECT_EQ(classifyProfile(test.profile), test.kind) << test.name;
    EXPECT_TRUE(ProfileFromCodePoints(12, 16).empty()) << "PQ has no profile here";

    // The nclx box of a P3 HEIC gives the colours of a Display P3 profile.
    const auto fromCodes = SrgbTransform::create(ProfileFromCodePoints(12, 13), SrgbTransform::Input::bgr);
    const auto fromPrimaries = SrgbTransform::create(test::displayP3Profile(), SrgbTransform::Input::bgr);
    ASSERT_TRUE(fromCodes && fromPrimaries);
    const Bytes pixels = test::noise(3 * 4096);
    Bytes a(pixels.size()), b(pixels.size());
    fromCodes->convert(pixels.data(), a.data(), 4096);
    fromPrimaries->convert(pixels.data(), b.data(), 4096);
    EXPECT_EQ(a, b);
}

// The conversion matches Little CMS's own 8-bit transform (relative
// colorimetric, black-point compensation) within a level on random colours,
// for profiles with parametric, gamma and long sampled curves.
TEST(ColourProfiles, ConversionAgreesWithLittleCms)
{
    constexpr std::size_t kPixels = 1 << 16;
    const Bytes pixels = test::noise(3 * kPixels, 7);
    const std::vector<std::pair<const char*, Bytes>> cases{
        {"Display P3", test::displayP3Profile()},
        {"Adobe RGB", test::adobeRgbProfile()},
        {"Display P3, sampled curves", test::largeP3Profile()},
        {"BT.2020 (9, 14)", ProfileFromCodePoints(9, 14)},
    };
    for (const auto& [name, profile] : cases) {
        const auto ours = SrgbTransform::create(profile, SrgbTransform::Input::bgr);
        ASSERT_TRUE(ours) << name;
        cmsHPROFILE source = cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        cmsHTRANSFORM reference = cmsCreateTransform(source, TYPE_BGR_8, srgb, TYPE_BGR_8, INTENT_RELATIVE_COLORIMETRIC,
                                                     cmsFLAGS_BLACKPOINTCOMPENSATION);
        Bytes a(pixels.size()), b(pixels.size());
        ours->convert(pixels.data(), a.data(), kPixels);
        cmsDoTransform(reference, pixels.data(), b.data(), kPixels);
        cmsDeleteTransform(reference);
        cmsCloseProfile(source);
        cmsCloseProfile(srgb);
        int worst = 0;
        for (std::size_t i = 0; i < a.size(); ++i)
            worst = std::max(worst, std::abs(a[i] - b[i]));
        EXPECT_LE(worst, 1) << name;
        EXPECT_NE(a, pixels) << name << ": nothing converted";
    }
}

// ---- Through the program -------------------------------------------------------

}  // namespace
}  // namespace vrelk
