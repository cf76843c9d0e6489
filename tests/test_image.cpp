#include <gtest/gtest.h>

#include <memory>

#include "pixel/pixel_converter.h"
#include "pixel/lookup_tables.h"

namespace vrelk {
namespace {

TEST(RowLayout, PadsPackedAndTrueColourRowsButNotWideOnes)
{
    struct Row {
        int bits, width;
        std::int64_t rowBytes, stride;
    };
    const Row rows[] = {
        {1, 1, 1, 4},   {1, 33, 5, 8},   {2, 5, 2, 4},  {4, 9, 5, 8},   {8, 5, 5, 8},
        {24, 1, 3, 4},  {24, 5, 15, 16}, {24, 4, 12, 12}, {48, 3, 18, 18}, {32, 3, 12, 12},
        {16, 3, 12, 12},
    };
    for (const Row& row : rows) {
        PixelConverter converter;
        converter.width = row.width;
        converter.height = 7;
        converter.targetBits = row.bits;
        converter.computeLayout();
        EXPECT_EQ(converter.rowBytes, row.rowBytes) << row.bits << " bits, width " << row.width;
        EXPECT_EQ(converter.stride, row.stride) << row.bits << " bits, width " << row.width;
        EXPECT_EQ(converter.imageSize, row.stride * 7);
    }
}

TEST(RowLayout, LargestImagesDoNotOverflow)
{
    RowLayout layout = rowLayout(25000, 25000, 48);
    EXPECT_EQ(layout.imageSize, 25000LL * 6 * 25000);
}

TEST(PageBuffer, StartsZeroFilledAndReleasesOnMove)
{
    PageBuffer buffer = PageBuffer::allocate(10000);
    ASSERT_TRUE(buffer);
    for (std::size_t i = 0; i < buffer.size(); ++i)
        ASSERT_EQ(buffer.data()[i], 0);
    PageBuffer moved = std::move(buffer);
    EXPECT_FALSE(buffer);
    EXPECT_EQ(moved.size(), 10000u);
    EXPECT_FALSE(PageBuffer::allocate(0));
}

class LookupTablesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        tables = std::make_unique<LookupTables>();
        buildLookupTables(*tables);
    }
    std::unique_ptr<LookupTables> tables;
};

TEST_F(LookupTablesTest, BlendTableApproximatesProductOver255)
{
    const auto& blend = tables->blendTable;
    EXPECT_EQ(blend[128][128], 64);
    EXPECT_EQ(blend[254][254], 253);
    EXPECT_EQ(blend[255][255], 255);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(blend[0][i], 0);
        EXPECT_EQ(blend[i][0], 0);
        EXPECT_EQ(blend[255][i], i);
        EXPECT_EQ(blend[i][255], i);
        for (int j = 0; j < 256; ++j) {
            ASSERT_EQ(blend[i][j], blend[j][i]);
            ASSERT_LE(std::abs(blend[i][j] - (i * j + 127) / 255), 1) << i << "," << j;
        }
    }
}

TEST_F(LookupTablesTest, DivideBy25RoundsAndTopsOutAt255)
{
    const auto& div25 = tables->div25Table;
    EXPECT_EQ(div25[0], 0);
    EXPECT_EQ(div25[12], 0);
    EXPECT_EQ(div25[13], 1);
    EXPECT_EQ(div25[6363], 254);
    EXPECT_EQ(div25[6375], 255);
    for (int n = 0; n < 2500; ++n)
        ASSERT_EQ(div25[n], (n + 12) / 25) << n;
}

TEST_F(LookupTablesTest, ScaledDifferenceAndClamp)
{
    const auto& diff = tables->scaledDiffTable;
    for (int k = 0; k < 256; ++k)
        EXPECT_EQ(diff[0][k], 0);
    EXPECT_EQ(diff[100][255], (127 * 100) >> 3);
    EXPECT_EQ(diff[100][0], -1600);
    EXPECT_EQ(diff[1][127], -1) << "the shift rounds towards minus infinity";
    EXPECT_EQ(diff[8][130], 2);

    const std::uint8_t* clamp = tables->clampBase;
    ASSERT_EQ(clamp, tables->clampTable.data() + 1600);
    EXPECT_EQ(clamp[-1600], 0);
    EXPECT_EQ(clamp[0], 0);
    EXPECT_EQ(clamp[1], 1);
    EXPECT_EQ(clamp[254], 254);
    EXPECT_EQ(clamp[255], 255);
    EXPECT_EQ(clamp[1842], 255);
}

TEST(PixelConverter, SharePointersAddressNegativeIndices)
{
    PixelConverter converter;
    converter.share7[-255] = 11;
    converter.share7[255] = 13;
    EXPECT_EQ(converter.errorShare7.front(), 11);
    EXPECT_EQ(converter.errorShare7.back(), 13);
    EXPECT_EQ(converter.width, 0);
    EXPECT_EQ(converter.squaresReady, nullptr);
}

}  // namespace
}  // namespace vrelk
