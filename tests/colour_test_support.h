// Colour profiles for the tests, built with Little CMS from the published
// primaries and curves, and the embedded profile of a JPEG as libjpeg's own
// ICC support reads it.
#pragma once

#include <array>
#include <cstdio>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>
#include <string>
#include <span>
#include <fstream>
#include <filesystem>

#include <jpeglib.h>
#include <lcms2.h>

namespace vrelk::test {

inline std::vector<std::uint8_t> savedProfile(cmsHPROFILE profile)
{
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::vector<std::uint8_t> bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

constexpr cmsCIExyY kD65White{0.3127, 0.3290, 1.0};

// Display P3 (the primaries of DCI-P3 with the D65 white) and sRGB's curve.
inline std::vector<std::uint8_t> displayP3Profile()
{
    const cmsCIExyYTRIPLE primaries{{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}};
    const cmsFloat64Number srgbCurve[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    cmsToneCurve* curve = cmsBuildParametricToneCurve(nullptr, 4, srgbCurve);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    auto bytes = savedProfile(cmsCreateRGBProfile(&kD65White, &primaries, curves));
    cmsFreeToneCurve(curve);
    return bytes;
}

// Adobe RGB (1998): its primaries, the D65 white and gamma 563/256.
inline std::vector<std::uint8_t> adobeRgbProfile()
{
    const cmsCIExyYTRIPLE primaries{{0.640, 0.330, 1}, {0.210, 0.710, 1}, {0.150, 0.060, 1}};
    cmsToneCurve* curve = cmsBuildGamma(nullptr, 563.0 / 256.0);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    auto bytes = savedProfile(cmsCreateRGBProfile(&kD65White, &primaries, curves));
    cmsFreeToneCurve(curve);
    return bytes;
}

// Grey at gamma 1.8, far enough from sRGB's curve to show.
inline std::vector<std::uint8_t> greyProfile()
{
    cmsToneCurve* curve = cmsBuildGamma(nullptr, 1.8);
    auto bytes = savedProfile(cmsCreateGrayProfile(cmsD50_xyY(), curve));
    cmsFreeToneCurve(curve);
    return bytes;
}

inline std::vector<std::uint8_t> srgbProfile() { return savedProfile(cmsCreate_sRGBProfile()); }

// Display P3 with long sampled curves, a little different per channel:
// over 64 KB, so a JPEG needs two segments for it.
inline std::vector<std::uint8_t> largeP3Profile()
{
    const cmsCIExyYTRIPLE primaries{{0.680, 0.320, 1}, {0.265, 0.690, 1}, {0.150, 0.060, 1}};
    constexpr int kEntries = 20000;
    std::array<cmsToneCurve*, 3> curves{};
    for (int c = 0; c < 3; ++c) {
        std::vector<cmsUInt16Number> table(kEntries);
        for (int i = 0; i < kEntries; ++i)
            table[static_cast<std::size_t>(i)] =
                static_cast<cmsUInt16Number>(65535.0 * std::pow(i / (kEntries - 1.0), 2.2 + 0.01 * c) + 0.5);
        curves[static_cast<std::size_t>(c)] = cmsBuildTabulatedToneCurve16(nullptr, kEntries, table.data());
    }
    auto bytes = savedProfile(cmsCreateRGBProfile(&kD65White, &primaries, curves.data()));
    for (cmsToneCurve* curve : curves)
        cmsFreeToneCurve(curve);
    return bytes;
}

// A CMYK printer profile of simple inks, darker than the fixed ink rule:
// each ink takes away its own primary, black takes away all, and the
// result is raised to the power 1.6; its sRGB meaning goes through Little
// CMS into the profile's Lab table.
inline std::vector<std::uint8_t> cmykProfile()
{
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM toLab = cmsCreateTransform(srgb, TYPE_RGB_16, lab, TYPE_Lab_16, INTENT_RELATIVE_COLORIMETRIC, 0);
    cmsCloseProfile(srgb);
    cmsCloseProfile(lab);
    auto sampler = [](const cmsUInt16Number in[], cmsUInt16Number out[], void* cargo) -> cmsInt32Number {
        const double k = 1 - in[3] / 65535.0;
        cmsUInt16Number rgb[3];
        for (int i = 0; i < 3; ++i)
            rgb[i] = static_cast<cmsUInt16Number>(65535.0 * std::pow((1 - in[i] / 65535.0) * k, 1.6) + 0.5);
        cmsDoTransform(cargo, rgb, out, 1);
        return TRUE;
    };
    cmsStage* table = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
    cmsStageSampleCLut16bit(table, sampler, toLab, 0);
    // Curves on both sides of the table, as the profile's lutAtoB type wants.
    cmsPipeline* toPcs = cmsPipelineAlloc(nullptr, 4, 3);
    cmsPipelineInsertStage(toPcs, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, nullptr));
    cmsPipelineInsertStage(toPcs, cmsAT_END, table);
    cmsPipelineInsertStage(toPcs, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(profile, 4.3);
    cmsSetDeviceClass(profile, cmsSigOutputClass);
    cmsSetColorSpace(profile, cmsSigCmykData);
    cmsSetPCS(profile, cmsSigLabData);
    cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsWriteTag(profile, cmsSigAToB0Tag, toPcs);
    cmsPipelineFree(toPcs);
    cmsDeleteTransform(toLab);
    return savedProfile(profile);
}

// The profile libjpeg finds in a file's APP2 segments; empty for none.
inline std::vector<std::uint8_t> jpegIccProfile(const std::vector<std::uint8_t>& bytes)
{
    jpeg_decompress_struct info{};
    jpeg_error_mgr error{};
    info.err = jpeg_std_error(&error);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_save_markers(&info, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&info, TRUE);
    JOCTET* data = nullptr;
    unsigned length = 0;
    std::vector<std::uint8_t> icc;
    if (jpeg_read_icc_profile(&info, &data, &length))
        icc.assign(data, data + length);
    std::free(data);
    jpeg_destroy_decompress(&info);
    return icc;
}

inline std::vector<std::uint8_t> readBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An APP2 payload carrying chunk `sequence` of `count`.
inline std::vector<std::uint8_t> iccChunk(int sequence, int count, std::span<const std::uint8_t> part)
{
    std::vector<std::uint8_t> payload{'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
    payload.push_back(static_cast<std::uint8_t>(sequence));
    payload.push_back(static_cast<std::uint8_t>(count));
    payload.insert(payload.end(), part.begin(), part.end());
    return payload;
}

inline std::string asString(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The profile cut into three parts of about equal size.
inline std::array<std::span<const std::uint8_t>, 3> thirds(const std::vector<std::uint8_t>& profile)
{
    const std::span<const std::uint8_t> all(profile);
    const std::size_t third = all.size() / 3;
    return {all.first(third), all.subspan(third, third), all.subspan(2 * third)};
}

}  // namespace vrelk::test
