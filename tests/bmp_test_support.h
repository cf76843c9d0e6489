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

#include "image_builder.h"
#include "picture/picture.h"

namespace vrelk::testing {

using test::BmpRecipe;
using test::buildBmp;
using test::putLE;

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
