// TIFF variants through libtiff against the pictures they were made from
// (tiff_variants.py): each compression, tiles and separate planes against
// the same photo uncompressed, read as this program always has; JPEG,
// CMYK, floating-point and RGBA files against Pillow's or ImageMagick's
// decode or the photo itself. Every pixel within 1 of its reference, and
// read on several cores the same as on one.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "codecs/byte_cursor.h"
#include "codecs/tiff.h"
#include "pixel/lookup_tables.h"
#include "platform/picture_cores.h"
#include "test_support.h"

namespace vrelk {
namespace {

namespace fs = std::filesystem;
using Rgb = std::vector<std::uint8_t>;

const LookupTables& tables()
{
    static const auto built = [] {
        auto made = std::make_unique<LookupTables>();
        buildLookupTables(*made);
        return made;
    }();
    return *built;
}

// The picture as top-down red, green, blue bytes; empty when it does not
// decode, on `cores` lent to the read.
Rgb decodeRgb(const fs::path& file, std::string& why, int cores = 1)
{
    platform::WorkerSlots slots(cores);
    const platform::HeldWorkerSlot own(&slots);
    const platform::PictureCoresScope lent({&slots, false});
    const std::string bytes = test::readText(file);
    Result<Picture> image =
        ReadTiff(ByteCursor({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}), tables());
    if (!image) {
        why = "error " + std::to_string(static_cast<int>(image.error()));
        return {};
    }
    const int bits = image->bits();
    Rgb rgb;
    for (int y = 0; y < image->height; ++y) {
        const std::uint8_t* row = image->pixels.data() + image->stride * (image->height - 1 - y);
        for (int x = 0; x < image->width; ++x) {
            if (bits == 24) {
                rgb.insert(rgb.end(), {row[3 * x + 2], row[3 * x + 1], row[3 * x]});
            } else {
                const RgbQuad& q = image->palette[row[x]];
                rgb.insert(rgb.end(), {q.rgbRed, q.rgbGreen, q.rgbBlue});
            }
        }
    }
    return rgb;
}

Rgb referenceOf(const fs::path& reference, std::string& why)
{
    if (reference.extension() == ".tif")
        return decodeRgb(reference, why);
    const std::string bytes = test::readText(reference);
    return Rgb(bytes.begin(), bytes.end());
}

TEST(TiffVariants, WithinOneOfTheirReference)
{
    VRELK_REQUIRE_TOOLS(test::havePillow() && test::haveImageMagick() && fs::exists("/usr/bin/tiffcp"),
                        "Pillow, ImageMagick or libtiff tools");
    test::ScratchFolder folder;
    const fs::path script = fs::path(__FILE__).parent_path() / "tiff_variants.py";
    auto made = test::runCommand(test::python() + " " + test::quoted(script) + " " + test::quoted(folder.path()));
    ASSERT_EQ(made.status, 0) << made.output;

    std::ifstream manifest(folder / "manifest.txt");
    std::map<std::string, int> matched;
    for (std::string line; std::getline(manifest, line);) {
        std::istringstream fields(line);
        std::string variant, name, reference;
        fields >> variant >> name >> reference;
        std::string why;
        const Rgb got = decodeRgb(folder / name, why);
        for (int cores : {2, 3, 7}) {
            std::string whyOnCores;
            EXPECT_TRUE(decodeRgb(folder / name, whyOnCores, cores) == got) << name << " on " << cores << " cores";
            EXPECT_EQ(whyOnCores, why) << name << " on " << cores << " cores";
        }
        ++matched[variant];
        if (reference == "damaged") {
            EXPECT_TRUE(got.empty()) << name;
            continue;
        }
        ASSERT_FALSE(got.empty()) << name << ": " << why;
        const Rgb want = referenceOf(folder / reference, why);
        ASSERT_EQ(got.size(), want.size()) << name << " against " << reference << " " << why;
        int worst = 0;
        for (std::size_t i = 0; i < got.size(); ++i)
            worst = std::max(worst, std::abs(int{got[i]} - int{want[i]}));
        EXPECT_LE(worst, 1) << name << " against " << reference;
    }
    const char* const variants[] = {"lzw", "lzw-predictor", "zip", "zip-predictor", "packbits", "tiles", "separate",
                                    "jpeg", "g4", "16-bit", "float", "cmyk", "rgba"};
    for (const char* variant : variants)
        EXPECT_GE(matched[variant], 10) << variant;
    for (const char* variant :
         {"split-lzw", "split-zip-predictor", "split-packbits", "split-tiles", "split-separate", "split-jpeg",
          "split-cmyk", "split-ruined"})
        EXPECT_EQ(matched[variant], 1) << variant;
}

}  // namespace
}  // namespace vrelk
