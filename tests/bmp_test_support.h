// Hand-built bitmap files and temporary folders for the codec tests.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "pixel/image.h"

// Recipes name only the fields that matter to a test and leave the rest at
// their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vrelk::testing {

struct BmpRecipe {
    std::int32_t width = 1;
    std::int32_t height = 1;
    std::uint16_t bits = 24;
    std::uint32_t compression = 0;
    std::uint32_t headerSize = 40;
    std::uint32_t colorsUsed = 0;
    std::vector<RgbQuad> palette;         // written as given
    std::array<std::uint32_t, 3> masks{};  // red, green, blue; written for compression 3
    std::vector<std::uint8_t> pixels;      // the rows exactly as stored
    std::uint8_t headerFill = 0;           // bytes of a larger header past its first 40 (and masks)
    std::int64_t pixelOffset = -1;         // -1: right behind the palette
};

inline void putLE(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

inline std::vector<std::uint8_t> buildBmp(const BmpRecipe& s)
{
    std::vector<std::uint8_t> info;
    putLE(info, s.headerSize, 4);
    putLE(info, static_cast<std::uint32_t>(s.width), 4);
    putLE(info, static_cast<std::uint32_t>(s.height), 4);
    putLE(info, 1, 2);
    putLE(info, s.bits, 2);
    putLE(info, s.compression, 4);
    putLE(info, static_cast<std::uint32_t>(s.pixels.size()), 4);
    putLE(info, 2835, 4);
    putLE(info, 2835, 4);
    putLE(info, s.colorsUsed, 4);
    putLE(info, 0, 4);
    const bool masks = s.compression == 3;
    if (masks)
        for (std::uint32_t mask : s.masks)
            putLE(info, mask, 4);
    while (info.size() < s.headerSize)
        info.push_back(s.headerFill);

    std::vector<std::uint8_t> colours;
    for (const RgbQuad& c : s.palette)
        colours.insert(colours.end(), {c.rgbBlue, c.rgbGreen, c.rgbRed, c.rgbReserved});

    const std::uint32_t offset = s.pixelOffset >= 0 ? static_cast<std::uint32_t>(s.pixelOffset)
                                                    : static_cast<std::uint32_t>(14 + info.size() + colours.size());
    std::vector<std::uint8_t> file{'B', 'M'};
    putLE(file, static_cast<std::uint32_t>(14 + info.size() + colours.size() + s.pixels.size()), 4);
    putLE(file, 0, 4);
    putLE(file, offset, 4);
    file.insert(file.end(), info.begin(), info.end());
    file.insert(file.end(), colours.begin(), colours.end());
    if (s.pixelOffset >= 0)
        file.resize(std::max<std::size_t>(file.size(), offset), 0);
    file.insert(file.end(), s.pixels.begin(), s.pixels.end());
    return file;
}

inline void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::uint8_t> readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A fresh folder per test, removed afterwards.
class TempFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = std::filesystem::temp_directory_path() /
                  ("vrelk_" + std::string(info->test_suite_name()) + "_" + info->name() + "_" +
                   std::to_string(::getpid()));
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override
    {
        if (!folder_.empty())
            std::filesystem::remove_all(folder_);
    }

    std::filesystem::path file(const std::string& name) const { return folder_ / name; }
    std::filesystem::path folder_;
};

}  // namespace vrelk::testing
