// The plug-in host copies only the bytes of a filter's blocks that the
// converting process reads; the image must come out as from the whole blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <string>
#include <vector>

#include "convert/plugin_picture.h"

namespace vrelk {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct BlockCase {
    std::string label;
    std::uint32_t headerSize;  // the header's own biSize
    std::int32_t width;
    std::int32_t height;
    std::uint16_t bits;
    std::uint32_t compression;
    std::size_t infoBytes;  // the whole information block
    std::size_t pixelBytes;
    std::size_t usedInfo;  // what the host hands over
    std::size_t usedPixels;
};

Bytes infoBlock(const BlockCase& c)
{
    Bytes info(c.infoBytes);
    for (std::size_t i = 0; i < info.size(); ++i)
        info[i] = static_cast<std::uint8_t>(i * 13 + 5);
    auto put32 = [&](std::size_t at, std::uint32_t value) {
        if (at + 4 <= info.size())
            std::memcpy(info.data() + at, &value, 4);
    };
    put32(0, c.headerSize);
    put32(4, static_cast<std::uint32_t>(c.width));
    put32(8, static_cast<std::uint32_t>(c.height));
    if (info.size() >= 16) {
        info[14] = static_cast<std::uint8_t>(c.bits);
        info[15] = static_cast<std::uint8_t>(c.bits >> 8);
    }
    put32(16, c.compression);
    return info;
}

TEST(PluginPicture, TheBytesHandedOverMakeTheSameImageAsTheWholeBlocks)
{
    const std::vector<BlockCase> cases{
        {"full palette in a larger block", 40, 8, 4, 8, 0, 40 + 1024 + 500, 32, 40 + 1024, 32},
        {"part of a palette", 40, 8, 4, 8, 0, 40 + 4 * 10 + 3, 32, 40 + 4 * 10 + 3, 32},
        {"108-byte header before the palette", 108, 5, 3, 4, 0, 108 + 64, 12, 108 + 64, 12},
        {"header size below 40", 12, 5, 3, 24, 0, 40 + 1024 + 8, 100, 40 + 1024, 48},
        {"header size past the block", 5000, 5, 3, 1, 0, 300, 12, 40, 12},
        {"header size near 4 GiB", 0xFFFFFFF0u, 5, 3, 1, 0, 300, 12, 40, 12},
        {"long pixel block", 40, 8, 4, 8, 0, 40 + 1024, 10000, 40 + 1024, 32},
        {"short pixel block", 40, 8, 4, 8, 0, 40 + 1024, 20, 40 + 1024, 20},
        {"no pixels", 40, 8, 4, 8, 0, 40 + 1024, 0, 40 + 1024, 0},
        {"block under 40 bytes", 40, 8, 4, 8, 0, 36, 32, 36, 0},
        {"top-down", 40, 8, -4, 8, 0, 40 + 1024, 32, 40 + 1024, 0},
        {"compressed", 40, 8, 4, 8, 1, 40 + 1024, 32, 40 + 1024, 0},
        {"32 bits", 40, 8, 4, 32, 0, 40, 128, 40, 0},
        {"25001 wide", 40, 25001, 1, 1, 0, 48, 4000, 48, 0},
    };
    for (const BlockCase& c : cases) {
        SCOPED_TRACE(c.label);
        const Bytes info = infoBlock(c);
        Bytes pixels(c.pixelBytes);
        for (std::size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = static_cast<std::uint8_t>(i * 7 + 1);
        const std::size_t usedInfo = PluginInfoBytesUsed(info);
        const std::size_t usedPixels = PluginPixelBytesUsed(info, pixels.size());
        EXPECT_EQ(usedInfo, c.usedInfo);
        EXPECT_EQ(usedPixels, c.usedPixels);

        Result<Picture> whole = ImageFromPluginBlocks(info, pixels);
        Result<Picture> handed = ImageFromPluginBlocks(std::span(info).first(usedInfo),
                                                        std::span(pixels).first(usedPixels));
        ASSERT_EQ(whole.ok(), handed.ok());
        if (!whole) {
            EXPECT_EQ(whole.error(), handed.error());
            continue;
        }
        EXPECT_EQ(std::tie(whole->width, whole->height, whole->layout, whole->meta.resolution.xPerMetre,
                           whole->meta.resolution.yPerMetre),
                  std::tie(handed->width, handed->height, handed->layout, handed->meta.resolution.xPerMetre,
                           handed->meta.resolution.yPerMetre));
        EXPECT_EQ(std::memcmp(whole->palette.data(), handed->palette.data(), sizeof(Palette)), 0);
        ASSERT_EQ(whole->pixels.size(), handed->pixels.size());
        EXPECT_EQ(std::memcmp(whole->pixels.data(), handed->pixels.data(), whole->pixels.size()), 0);
    }
}

}  // namespace
}  // namespace vrelk
