// Embedded colour profiles through the command-line program: kept by the
// writers that can carry them, converted to sRGB (checked against Pillow's
// ImageCms) for the ones that cannot, and damaged ones ignored.
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

const fs::path kReference = fs::path(__FILE__).parent_path() / "colour_reference.py";

bool havePillow() { return fs::exists("/usr/bin/python3"); }

test::CommandResult reference(const std::string& arguments)
{
    return test::runCommand("/usr/bin/python3 " + quoted(kReference) + " " + arguments);
}

Bytes pillowProfile(const fs::path& image)
{
    const fs::path out = image.string() + ".icc";
    EXPECT_EQ(reference("icc " + quoted(image) + " " + quoted(out)).status, 0);
    return readBytes(out);
}

// The largest difference from Pillow's conversion of the input to sRGB.
int differenceFromPillow(const fs::path& ours, const fs::path& input)
{
    const auto result = reference("diff " + quoted(ours) + " " + quoted(input));
    EXPECT_EQ(result.status, 0) << result.output;
    return result.status == 0 ? std::stoi(result.output) : 999;
}

bool samePixels(const fs::path& a, const fs::path& b)
{
    return reference("same " + quoted(a) + " " + quoted(b)).output == "same\n";
}

// A picture with saturated corners, where wide-gamut colours show most.
test::JpegRecipe pictureRecipe(int components)
{
    test::JpegRecipe recipe;
    recipe.width = 48;
    recipe.height = 40;
    recipe.components = components;
    recipe.space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    return recipe;
}

Bytes picture(int components)
{
    if (components == 3)
        return test::gradient(48, 40);
    Bytes grey(48 * 40);
    for (std::size_t i = 0; i < grey.size(); ++i)
        grey[i] = static_cast<std::uint8_t>(i % 48 * 5 + i / 48);
    return grey;
}

void writeJpeg(const fs::path& path, int components, const Bytes& icc)
{
    test::JpegRecipe recipe = pictureRecipe(components);
    recipe.icc = icc;
    test::writeBytes(path, test::makeJpeg(recipe, picture(components)));
}

struct ProfileCase {
    const char* name;
    Bytes profile;
    int components;
    bool kept;  // by the JPEG and PNG writers
};

std::vector<ProfileCase> profileCases()
{
    return {
        {"Display P3", test::displayP3Profile(), 3, true},
        {"Adobe RGB", test::adobeRgbProfile(), 3, true},
        {"grey", test::greyProfile(), 1, false},
    };
}

const char* extensionOf(const std::string& format)
{
    return format == "png" ? ".png" : format == "webp" ? ".webp" : ".jpg";
}

// JPEG, PNG and WebP output carry the profile with the pixels of a
// conversion without it; a grey profile, which no writer here stores, is
// converted.
TEST(ColourProfilesEndToEnd, JpegPngAndWebpKeepTheProfile)
{
    VRELK_REQUIRE_TOOLS(havePillow(), "Pillow");
    for (const ProfileCase& test : profileCases()) {
        for (const char* format : {"jpeg", "png", "webp"}) {
            CliInstall cli("");
            writeJpeg(cli.root() / "tagged.jpg", test.components, test.profile);
            writeJpeg(cli.root() / "plain.jpg", test.components, {});
            const auto run = cli.run(std::string("-f ") + format + " " + quoted(cli.root() / "tagged.jpg") + " " +
                                     quoted(cli.root() / "plain.jpg"));
            ASSERT_EQ(run.status, 0) << run.output;
            const std::string extension = extensionOf(format);
            const fs::path tagged = cli.root() / ("tagged+1" + extension);
            const fs::path plain = cli.root() / ("plain+1" + extension);
            const fs::path out = fs::exists(tagged) ? tagged : cli.root() / ("tagged" + extension);
            const fs::path plainOut = fs::exists(plain) ? plain : cli.root() / ("plain" + extension);
            EXPECT_EQ(pillowProfile(out), test.kept ? test.profile : Bytes{}) << test.name << " " << format;
            if (test.kept) {
                EXPECT_TRUE(samePixels(out, plainOut)) << test.name << " " << format;
            } else if (extension == ".png") {
                EXPECT_LE(differenceFromPillow(out, cli.root() / "tagged.jpg"), 1) << test.name << " " << format;
            }
        }
    }
}

// BMP cannot carry a profile: the pixels are Pillow's conversion to sRGB,
// from JPEG, PNG and TIFF inputs alike.
TEST(ColourProfilesEndToEnd, BmpHoldsTheColoursConvertedToSrgb)
{
    VRELK_REQUIRE_TOOLS(havePillow(), "Pillow");
    CliInstall cli("DrctCvt=1\r\n");
    std::vector<std::string> inputs;
    for (const ProfileCase& test : profileCases()) {
        const std::string name = std::string(test.name) + ".jpg";
        writeJpeg(cli.root() / name, test.components, test.profile);
        inputs.push_back(name);
    }
    // Pillow embeds the profile in PNG and TIFF files of the same picture.
    test::writeBytes(cli.root() / "p3.icc", test::displayP3Profile());
    test::writeBytes(cli.root() / "adobe.icc", test::adobeRgbProfile());
    writeJpeg(cli.root() / "source.jpg", 3, {});
    for (const auto& [made, profile] : {std::pair{"p3.png", "p3.icc"}, std::pair{"adobe.tif", "adobe.icc"}}) {
        ASSERT_EQ(reference("embed " + quoted(cli.root() / "source.jpg") + " " + quoted(cli.root() / profile) + " " +
                            quoted(cli.root() / made))
                      .status,
                  0);
        inputs.push_back(made);
    }
    std::string arguments;
    for (const std::string& input : inputs)
        arguments += " " + quoted(cli.root() / input);
    const auto run = cli.run(arguments);
    ASSERT_EQ(run.status, 0) << run.output;
    for (const std::string& input : inputs) {
        const fs::path bmp = (cli.root() / input).replace_extension(".bmp");
        EXPECT_LE(differenceFromPillow(bmp, cli.root() / input), 1) << input;
        EXPECT_FALSE(samePixels(bmp, cli.root() / "source.jpg")) << input << " was not converted";
    }
}

// A CMYK JPEG (Adobe, inverted inks as Photoshop stores them) goes through
// its profile, as Pillow's ImageCms takes it.
TEST(ColourProfilesEndToEnd, CmykJpegUsesItsProfile)
{
    VRELK_REQUIRE_TOOLS(havePillow(), "Pillow");
    CliInstall cli("DrctCvt=1\r\n");
    test::JpegRecipe recipe = pictureRecipe(4);
    recipe.space = JCS_CMYK;
    recipe.icc = test::cmykProfile();
    ASSERT_EQ(classifyProfile(recipe.icc), ProfileKind::cmyk);
    Bytes inks = test::noise(48 * 40 * 4, 99);
    for (std::size_t i = 0; i < inks.size(); ++i)
        inks[i] = static_cast<std::uint8_t>(inks[i] / 2 + (i % 4 == 3 ? 128 : i * 3 % 128));
    test::writeBytes(cli.root() / "cmyk.jpg", test::makeJpeg(recipe, inks));
    ASSERT_EQ(cli.run(quoted(cli.root() / "cmyk.jpg")).status, 0);
    EXPECT_LE(differenceFromPillow(cli.root() / "cmyk.bmp", cli.root() / "cmyk.jpg"), 1);

    // Without the profile the fixed rule gives lighter colours.
    recipe.icc.clear();
    test::writeBytes(cli.root() / "plain.jpg", test::makeJpeg(recipe, inks));
    ASSERT_EQ(cli.run(quoted(cli.root() / "plain.jpg")).status, 0);
    EXPECT_GT(differenceFromPillow(cli.root() / "plain.bmp", cli.root() / "cmyk.jpg"), 20);
}

Bytes exifWithOrientation6()
{
    return {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0};
}

// The lossless re-encode keeps the coefficients, the profile's segments as
// they were and the orientation, and drops every other marker.
TEST(ColourProfilesEndToEnd, RecodeKeepsProfileSegmentsAndOrientationOnly)
{
    struct Case {
        const char* name;
        Bytes profile;
        int components;
    };
    for (const Case& test : {Case{"Display P3 over two segments", test::largeP3Profile(), 3},
                             Case{"grey", test::greyProfile(), 1}}) {
        CliInstall cli("DrctCvt=5\r\n");
        test::JpegRecipe recipe = pictureRecipe(test.components);
        recipe.icc = test.profile;
        recipe.progressive = true;
        recipe.markers = {{JPEG_APP0 + 1, asString(exifWithOrientation6())},
                          {JPEG_APP0 + 1, std::string("http://ns.adobe.com/xap/1.0/\0<x/>", 33)},
                          {JPEG_APP0 + 13, "Photoshop 3.0"},
                          {JPEG_APP0 + 2, std::string("MPF\0II*\0", 8)},
                          {JPEG_COM, "a comment"}};
        const Bytes input = test::makeJpeg(recipe, picture(test.components));
        test::writeBytes(cli.root() / "in.jpg", input);
        ASSERT_EQ(cli.run(quoted(cli.root() / "in.jpg")).status, 0) << test.name;
        const Bytes output = readBytes(cli.root() / "in+1.jpg");

        EXPECT_EQ(test::readCoefficients(output).blocks, test::readCoefficients(input).blocks) << test.name;
        EXPECT_EQ(test::jpegIccProfile(output), test.profile) << test.name;
        std::vector<Bytes> iccIn, iccOut;
        for (const auto& segment : test::jpegSegments(input))
            if (segment.marker == 0xE2 && IsJpegIccSegment(segment.payload))
                iccIn.push_back(segment.payload);
        std::vector<int> appMarkers;
        for (const auto& segment : test::jpegSegments(output)) {
            if (segment.marker == 0xE2)
                iccOut.push_back(segment.payload);
            if (segment.marker == 0xE1) {
                EXPECT_EQ(segment.payload[0], 'E') << test.name << ": only the Exif block";
            }
            if ((segment.marker >= 0xE0 && segment.marker <= 0xEF) || segment.marker == 0xFE)
                appMarkers.push_back(segment.marker);
        }
        EXPECT_EQ(iccOut, iccIn) << test.name;
        std::vector<int> expected{0xE0, 0xE1};
        expected.insert(expected.end(), iccIn.size(), 0xE2);
        EXPECT_EQ(appMarkers, expected) << test.name;
    }
}

// Over 64 KB: two APP2 segments one way, one iCCP chunk the other.
TEST(ColourProfilesEndToEnd, MultiSegmentProfileBothWays)
{
    VRELK_REQUIRE_TOOLS(havePillow(), "Pillow");
    const Bytes large = test::largeP3Profile();
    ASSERT_GT(large.size(), std::size_t{65536});
    CliInstall toPng("DrctCvt=2\r\n");
    writeJpeg(toPng.root() / "large.jpg", 3, large);
    ASSERT_EQ(toPng.run(quoted(toPng.root() / "large.jpg")).status, 0);
    EXPECT_EQ(pillowProfile(toPng.root() / "large.png"), large);

    CliInstall toJpeg("DrctCvt=3\r\n");
    test::writeBytes(toJpeg.root() / "large.icc", large);
    writeJpeg(toJpeg.root() / "source.jpg", 3, {});
    ASSERT_EQ(reference("embed " + quoted(toJpeg.root() / "source.jpg") + " " + quoted(toJpeg.root() / "large.icc") +
                        " " + quoted(toJpeg.root() / "large.png"))
                  .status,
              0);
    ASSERT_EQ(toJpeg.run(quoted(toJpeg.root() / "large.png")).status, 0);
    EXPECT_EQ(test::jpegIccProfile(readBytes(toJpeg.root() / "large.jpg")), large);
}

// heif-enc stores the P3 profile of a PNG in the HEIC's colr box.
TEST(ColourProfilesEndToEnd, HeicProfileGoesIntoJpeg)
{
    VRELK_REQUIRE_TOOLS(havePillow() && fs::exists("/usr/bin/heif-enc"), "Pillow or heif-enc");
    CliInstall cli("DrctCvt=3\r\n");
    // Made once: a profile's header holds the time it was made.
    const Bytes p3 = test::displayP3Profile();
    test::writeBytes(cli.root() / "p3.icc", p3);
    writeJpeg(cli.root() / "source.jpg", 3, {});
    ASSERT_EQ(reference("embed " + quoted(cli.root() / "source.jpg") + " " + quoted(cli.root() / "p3.icc") + " " +
                        quoted(cli.root() / "p3.png"))
                  .status,
              0);
    const auto made = test::runCommand("/usr/bin/heif-enc -q 90 -o " + quoted(cli.root() / "p3.heic") + " " +
                                       quoted(cli.root() / "p3.png"));
    ASSERT_EQ(made.status, 0) << made.output;
    const auto run = cli.run(quoted(cli.root() / "p3.heic"));
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(test::jpegIccProfile(readBytes(cli.root() / "p3.jpg")), p3);
}

// ---- WebP, with profiles put in and taken out by libwebp's own tools ------------

bool haveWebpTools() { return fs::exists("/usr/bin/cwebp") && fs::exists("/usr/bin/webpmux"); }

void runTool(const std::string& command)
{
    const auto result = test::runCommand(command);
    ASSERT_EQ(result.status, 0) << command << "\n" << result.output;
}

// plain.webp from cwebp, and `name` the same bitstream with webpmux's ICCP
// chunk holding `profile`.
void writeWebpWithProfile(const CliInstall& cli, const std::string& name, const Bytes& profile)
{
    if (!fs::exists(cli.root() / "plain.webp")) {
        writeJpeg(cli.root() / "source.jpg", 3, {});
        runTool("/usr/bin/cwebp -quiet -q 80 " + quoted(cli.root() / "source.jpg") + " -o " +
                quoted(cli.root() / "plain.webp"));
    }
    test::writeBytes(cli.root() / (name + ".icc"), profile);
    runTool("/usr/bin/webpmux -set icc " + quoted(cli.root() / (name + ".icc")) + " " +
            quoted(cli.root() / "plain.webp") + " -o " + quoted(cli.root() / name));
}

Bytes webpmuxProfile(const fs::path& webp)
{
    const fs::path out = webp.string() + ".icc";
    runTool("/usr/bin/webpmux -get icc " + quoted(webp) + " -o " + quoted(out));
    return readBytes(out);
}

// A Display P3 WebP keeps its profile into JPEG and PNG and becomes
// Pillow's sRGB conversion in BMP.
TEST(ColourProfilesEndToEnd, WebpProfileIsReadAndKeptOrConverted)
{
    VRELK_REQUIRE_TOOLS(havePillow() && haveWebpTools(), "Pillow or libwebp's tools");
    const Bytes p3 = test::displayP3Profile();
    for (const char* format : {"jpeg", "png", "bmp"}) {
        CliInstall cli("");
        writeWebpWithProfile(cli, "p3.webp", p3);
        const auto run = cli.run(std::string("-f ") + format + " " + quoted(cli.root() / "p3.webp"));
        ASSERT_EQ(run.status, 0) << run.output;
        const std::string extension = format == std::string("bmp") ? ".bmp" : extensionOf(format);
        const fs::path out = cli.root() / ("p3" + extension);
        if (extension == ".bmp") {
            EXPECT_LE(differenceFromPillow(out, cli.root() / "p3.webp"), 1);
            EXPECT_FALSE(samePixels(out, cli.root() / "plain.webp")) << "not converted";
        } else {
            EXPECT_EQ(pillowProfile(out), p3) << format;
        }
    }
}

// The size target holds for the whole file: a profile of over 100 KB
// counts against it and still goes along.
TEST(ColourProfilesEndToEnd, WebpSizeTargetCountsTheProfile)
{
    VRELK_REQUIRE_TOOLS(haveWebpTools(), "libwebp's tools");
    const Bytes large = test::largeP3Profile();
    const std::size_t limitKb = large.size() / 1024 + 8;
    CliInstall cli("");
    test::JpegRecipe recipe = pictureRecipe(3);
    recipe.width = 240;
    recipe.height = 180;
    recipe.icc = large;
    test::writeBytes(cli.root() / "noisy.jpg", test::makeJpeg(recipe, test::noise(240 * 180 * 3)));
    const auto run = cli.run("-f webp --max-kb " + std::to_string(limitKb) + " " + quoted(cli.root() / "noisy.jpg"));
    ASSERT_EQ(run.status, 0) << run.output;
    const fs::path out = cli.root() / "noisy.webp";
    EXPECT_LE(fs::file_size(out), limitKb * 1024);
    EXPECT_EQ(webpmuxProfile(out), large);
}

// ICCP chunks that hold no sound profile leave the picture as sRGB.
TEST(ColourProfilesEndToEnd, DamagedWebpProfilesAreIgnored)
{
    VRELK_REQUIRE_TOOLS(haveWebpTools(), "libwebp's tools");
    const Bytes profile = test::displayP3Profile();
    Bytes wrongSignature = profile;
    wrongSignature[36] ^= 0xFF;
    const std::vector<std::pair<const char*, Bytes>> cases{
        {"not a profile", test::noise(600)},
        {"size field past the end", Bytes(profile.begin(), profile.end() - 40)},
        {"no profile signature", wrongSignature},
    };
    CliInstall cli("DrctCvt=1\r\n");
    std::string arguments;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string name = "damaged" + std::to_string(i) + ".webp";
        writeWebpWithProfile(cli, name, cases[i].second);
        arguments += " " + quoted(cli.root() / name);
    }
    const auto run = cli.run(quoted(cli.root() / "plain.webp") + arguments);
    ASSERT_EQ(run.status, 0) << run.output;
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(readBytes(cli.root() / ("damaged" + std::to_string(i) + ".bmp")), readBytes(cli.root() / "plain.bmp"))
            << cases[i].first;
}

// A damaged profile is no profile: the file converts as if it had none.
TEST(ColourProfilesEndToEnd, DamagedProfilesAreIgnored)
{
    const Bytes profile = test::displayP3Profile();
    const auto [a, b, c] = thirds(profile);
    Bytes cutShort(profile.begin(), profile.end() - 40);
    struct Case {
        const char* name;
        std::vector<Bytes> segments;
    };
    const std::vector<Case> cases{
        {"wrong sequence numbers", {iccChunk(1, 3, a), iccChunk(2, 3, b), iccChunk(2, 3, c)}},
        {"a missing segment", {iccChunk(1, 3, a), iccChunk(3, 3, c)}},
        {"size field past the end", {iccChunk(1, 1, cutShort)}},
    };
    CliInstall cli("DrctCvt=1\r\n");
    std::string arguments;
    writeJpeg(cli.root() / "plain.jpg", 3, {});
    for (std::size_t i = 0; i < cases.size(); ++i) {
        test::JpegRecipe recipe = pictureRecipe(3);
        for (const Bytes& segment : cases[i].segments)
            recipe.markers.emplace_back(JPEG_APP0 + 2, asString(segment));
        test::writeBytes(cli.root() / ("damaged" + std::to_string(i) + ".jpg"), test::makeJpeg(recipe, picture(3)));
        arguments += " " + quoted(cli.root() / ("damaged" + std::to_string(i) + ".jpg"));
    }
    // PNG: an iCCP chunk whose zlib stream is broken.
    Bytes rows;
    for (int y = 0; y < 8; ++y) {
        rows.push_back(0);
        for (int x = 0; x < 24; ++x)
            rows.push_back(static_cast<std::uint8_t>(x * 10 + y));
    }
    Bytes badIccp = IccpChunkData(profile);
    badIccp[badIccp.size() / 2] ^= 0xFF;
    test::writeBytes(cli.root() / "plain.png", test::simplePng(8, 8, 8, 2, rows));
    test::writeBytes(cli.root() / "badzlib.png", test::simplePng(8, 8, 8, 2, rows, {test::pngChunk("iCCP", badIccp)}));
    const auto run = cli.run(quoted(cli.root() / "plain.jpg") + " " + quoted(cli.root() / "plain.png") + " " +
                             quoted(cli.root() / "badzlib.png") + arguments);
    ASSERT_EQ(run.status, 0) << run.output;
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(readBytes(cli.root() / ("damaged" + std::to_string(i) + ".bmp")), readBytes(cli.root() / "plain.bmp"))
            << cases[i].name;
    EXPECT_EQ(readBytes(cli.root() / "badzlib.bmp"), readBytes(cli.root() / "plain+1.bmp")) << "bad iCCP zlib";
}

}  // namespace
}  // namespace vrelk
