#include <gtest/gtest.h>

#include "app/commands.h"
#include "convert/format.h"
#include "test_support.h"

namespace vrelk {
namespace {

struct SniffCase {
    std::vector<std::uint8_t> bytes;
    FormatCode expected;
};

TEST(SniffFormat, RecognisesEachSignatureAndTheShortFiles)
{
    const std::vector<SniffCase> cases{
        {{}, kFormatTooShort},
        {{'B'}, kFormatTooShort},
        {{'B', 'M'}, kFormatBmp},
        {{0xFF, 0xD8}, kFormatJpeg},
        {{'G', 'I'}, kFormatTooShort},
        {{'G', 'I', 'F'}, kFormatGif},
        {{'G', 'I', 'X'}, kFormatUnknown},
        {{'I', 'I'}, kFormatTooShort},
        {{'I', 'I', 0x2A, 0x00}, kFormatTiff},
        {{'I', 'I', 0x00, 0x2A}, kFormatUnknown},
        {{'M', 'M'}, kFormatTooShort},
        {{'M', 'M', 0x00}, kFormatTooShort},
        {{'M', 'M', 0x00, 0x2A}, kFormatTiff},
        {{'M', 'M', 0x7F, 0x2A}, kFormatTiff},
        {{'M', 'M', 0x2A, 0x00}, kFormatUnknown},
        {{0x89, 'P'}, kFormatTooShort},
        {{0x89, 'P', 'N'}, kFormatTooShort},
        {{0x89, 'P', 'N', 'G'}, kFormatTooShort},
        {{0x89, 'P', 'N', 'G', 0x0D}, kFormatUnknown},
        {{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, kFormatPng},
        {{0x89, 'P', 'N', 'X', 0x0D, 0x0A, 0x1A, 0x0A}, kFormatUnknown},
        {{0x89, 'Q', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, kFormatUnknown},
        {{'P', 'K', 3, 4}, kFormatUnknown},
        // ISO media: the file type box's main brand decides; any box length
        // may start the file.
        {{0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c'}, kFormatHeif},
        {{0xFF, 0xD8, 0, 0x18, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c'}, kFormatJpeg},
        {{0, 0, 0, 0x1C, 'f', 't', 'y', 'p', 'a', 'v', 'i', 'f'}, kFormatHeif},
        {{0, 0, 0, 0x1C, 'f', 't', 'y', 'p', 'm', 'i', 'f', '1'}, kFormatHeif},
        {{0, 0, 0, 0x20, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm'}, kFormatUnknown},
        {{0, 0, 0, 0x18, 'f', 't', 'y', 'p', 'h', 'e', 'i'}, kFormatUnknown},
        {{0, 0, 0, 0x18, 'm', 'o', 'o', 'v', 'h', 'e', 'i', 'c'}, kFormatUnknown},
        {{'R', 'I'}, kFormatTooShort},
        {{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B'}, kFormatUnknown},
        {{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P'}, kFormatWebp},
        {{'R', 'I', 'F', 'F', 9, 9, 9, 9, 'W', 'A', 'V', 'E'}, kFormatUnknown},
        {{'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'E', 'B', 'P'}, kFormatUnknown},
    };
    test::ScratchFolder folder;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        auto path = folder / ("case" + std::to_string(i));
        test::writeBytes(path, cases[i].bytes);
        EXPECT_EQ(SniffFormat(path), cases[i].expected) << "case " << i;
    }
    EXPECT_EQ(SniffFormat(folder / "missing"), kFormatUnknown);
}

TEST(SelectOutput, MapsOutputTypesToStepsAndExtensions)
{
    struct Row {
        std::int32_t type;
        std::string_view extension;
        PerFileStep step;
        WriteStep write;
    };
    const Row rows[] = {
        {0, ".bmp", PerFileStep::convert, WriteBmpStep}, {1, ".png", PerFileStep::convert, WritePngStep},
        {2, ".jpg", PerFileStep::convert, WriteJpegStep}, {3, ".bmp", PerFileStep::convert, WriteBmpStep},
        {4, ".gif", PerFileStep::convert, WriteGifStep},  {5, ".jpg", PerFileStep::recode, nullptr},
        {6, ".webp", PerFileStep::convert, WriteWebpStep}, {7, ".bmp", PerFileStep::convert, WriteBmpStep},
        {-1, ".bmp", PerFileStep::convert, WriteBmpStep},
    };
    for (const Row& row : rows) {
        OutputChoice choice = SelectOutput(row.type);
        EXPECT_EQ(choice.extension, row.extension) << row.type;
        EXPECT_EQ(choice.step, row.step) << row.type;
        EXPECT_EQ(choice.write, row.write) << row.type;
    }
}

TEST(SelectOutput, DirectChoicesAndFormatCommandsShareOneMapping)
{
    // DrctCvt 1..6 and the buttons 1000..1004, 1007.
    const std::int32_t expected[] = {0, 1, 2, 4, 5, 6};
    const int commands[] = {1000, 1001, 1002, 1003, 1004, 1007};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(outputTypeForDirectChoice(i + 1), expected[i]);
        EXPECT_EQ(outputTypeForCommand(commands[i]), expected[i]);
    }
    EXPECT_FALSE(outputTypeForDirectChoice(0));
    EXPECT_FALSE(outputTypeForDirectChoice(7));
    EXPECT_FALSE(outputTypeForCommand(999));
    EXPECT_FALSE(outputTypeForCommand(1005));
    EXPECT_FALSE(outputTypeForCommand(1006));
    EXPECT_FALSE(outputTypeForCommand(1008));
}

}  // namespace
}  // namespace vrelk
