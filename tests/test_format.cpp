#include <gtest/gtest.h>

#include "app/commands.h"
#include "codecs/files.h"
#include "convert/batch.h"
#include "convert/format.h"
#include "convert/scratch_buffers.h"
#include "platform/memory_budget.h"
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
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(SniffFormat(cases[i].bytes), cases[i].expected) << "case " << i;
}

TEST(OutputFormats, TypesChoicesButtonsKeysAndNamesNameOneFormat)
{
    struct Row {
        std::int32_t type;
        std::int32_t directChoice;
        int command;
        char key;
        std::string_view cliName;
        std::string_view extension;
        PerFileStep step;
    };
    const Row rows[] = {
        {0, 1, 1000, 'B', "bmp", ".bmp", PerFileStep::convert},   {1, 2, 1001, 'P', "png", ".png", PerFileStep::convert},
        {2, 3, 1002, 'J', "jpeg", ".jpg", PerFileStep::convert},  {4, 4, 1003, 'G', "gif", ".gif", PerFileStep::convert},
        {5, 5, 1004, 'T', "recode", ".jpg", PerFileStep::recode}, {6, 6, 1007, 'W', "webp", ".webp", PerFileStep::convert},
        {7, 7, 1008, 'A', "avif", ".avif", PerFileStep::convert},
    };
    for (const Row& row : rows) {
        const OutputFormat& format = OutputFormatOf(row.type);
        EXPECT_EQ(format.extension, row.extension) << row.type;
        EXPECT_EQ(format.step, row.step) << row.type;
        EXPECT_EQ(format.write == nullptr, row.step == PerFileStep::recode) << row.type;
        EXPECT_EQ(OutputForDirectChoice(row.directChoice), &format) << row.type;
        EXPECT_EQ(OutputForCommand(row.command), &format) << row.type;
        EXPECT_EQ(OutputForKey(row.key), &format) << row.type;
        EXPECT_EQ(OutputForCliName(row.cliName), &format) << row.type;
    }
    EXPECT_EQ(OutputForCliName("jpg"), &OutputFormatOf(kOutputJpeg));
    // Any other output type writes a bitmap, as it always has.
    for (std::int32_t other : {3, 8, -1})
        EXPECT_EQ(&OutputFormatOf(other), &OutputFormatOf(kOutputBmp)) << other;
    for (std::int32_t choice : {0, 8, -1})
        EXPECT_EQ(OutputForDirectChoice(choice), nullptr) << choice;
    for (int command : {999, 1005, 1006, 1009})
        EXPECT_EQ(OutputForCommand(command), nullptr) << command;
    EXPECT_EQ(OutputForCliName(""), nullptr);
}

// Every reader honours the limits it is handed: a picture wider or taller
// than the cap is refused as unsupported before anything is decoded, and
// one whose need exceeds the file's reservation as out of memory.
TEST(FormatTable, EveryReaderTakesTheLimitsItIsGiven)
{
    const std::filesystem::path data = std::filesystem::path(__FILE__).parent_path() / "data/identity";
    const char* const files[] = {"bmp-24bit.bmp", "png-rgb.png", "jpeg-420.jpg", "tiff-rgb.tif",
                                 "gif-palette.gif", "webp-lossy.webp", "heic-plain.heic", "avif-plain.avif"};
    std::unique_ptr<ScratchBuffers> scratch = AllocateScratchBuffers();
    ConvertOptions options;
    for (const char* name : files) {
        const std::string text = test::readText(data / name);
        const std::vector<std::uint8_t> bytes(text.begin(), text.end());
        const InputFormat* format = InputFormatOf(SniffFormat(bytes));
        ASSERT_NE(format, nullptr) << name;
        const ByteCursor in(bytes);
        Result<Picture> whole = format->read(in, ReadContext{options, *scratch->tables});
        ASSERT_TRUE(whole.ok()) << name;
        const std::int32_t side = std::max(whole->width, whole->height);

        Result<Picture> capped = format->read(in, ReadContext{options, *scratch->tables, nullptr, 0, ReadLimits{side - 1}});
        ASSERT_FALSE(capped.ok()) << name;
        EXPECT_EQ(capped.error(), CodecError::tooLarge) << name;
        EXPECT_TRUE(format->read(in, ReadContext{options, *scratch->tables, nullptr, 0, ReadLimits{side}}).ok()) << name;

        platform::MemoryBudget budget(1024);
        DecodeMemory memory(budget);
        Result<Picture> starved =
            format->read(in, ReadContext{options, *scratch->tables, nullptr, 0, ReadLimits{kMaxDimension, &memory}});
        ASSERT_FALSE(starved.ok()) << name;
        EXPECT_EQ(starved.error(), CodecError::noMemory) << name;
    }
}

// A format added as one entry each way, as a new codec would be: files
// carrying its signature are read by its reader, and a batch writes its
// output under its extension.
constexpr auto kToyFormat = static_cast<FormatCode>(90);
constexpr std::int32_t kToyOutput = 90;

Signature sniffToy(std::span<const std::uint8_t> bytes)
{
    return bytes.size() >= 4 && std::equal(bytes.begin(), bytes.begin() + 4, "TOY1") ? Signature::yes : Signature::no;
}

// "TOY1", a width byte and a height byte; every pixel grey at the level of the fifth byte.
Result<Picture> readToy(ByteCursor in, const ReadContext&)
{
    const auto header = in.take(7);
    if (!header)
        return CodecError::damaged;
    Result<Picture> picture = allocatePicture((*header)[4], (*header)[5], PixelLayout::bgr24);
    if (picture)
        std::fill_n(picture->pixels.data(), picture->pixels.size(), (*header)[6]);
    return picture;
}

// The size and the first pixel's blue, green, red, as text.
Status writeToy(const ImageView& image, const platform::Path& output, const ConvertOptions&)
{
    Result<OutputFile> out = OutputFile::create(output);
    if (!out)
        return out.error();
    const std::string text = std::to_string(image.width) + "x" + std::to_string(image.height) + " " +
                             std::to_string(image.pixels[0]) + "," + std::to_string(image.pixels[1]) + "," +
                             std::to_string(image.pixels[2]);
    out->write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    return out->finish();
}

TEST(FormatTable, AFormatIsOneEntryEachWay)
{
    static const bool registered = [] {
        RegisterInputFormat({kToyFormat, sniffToy, readToy});
        RegisterOutputFormat({kToyOutput, 90, 0, '\0', "Toy", "Toy", "toy", "", ".toy", PerFileStep::convert,
                              writeToy, kKeepsNothing});
        return true;
    }();
    ASSERT_TRUE(registered);
    EXPECT_EQ(SniffFormat(std::vector<std::uint8_t>{'T', 'O', 'Y', '1'}), kToyFormat);
    EXPECT_EQ(SniffFormat(std::vector<std::uint8_t>{'B', 'M'}), kFormatBmp) << "built-in formats come first";

    test::ScratchFolder folder;
    const std::vector<std::uint8_t> toy{'T', 'O', 'Y', '1', 3, 2, 77};
    test::writeBytes(folder / "a.toy1", toy);
    ConvertOptions options;
    options.outputType = kToyOutput;
    options.resize = true;
    options.resizeMode = kReduceWidth;
    options.resizeSize = 2;
    const platform::Path inputs[] = {folder / "a.toy1"};
    const BatchReport report = RunBatch(inputs, options);
    ASSERT_EQ(report.files.size(), 1u);
    ASSERT_TRUE(report.files[0].converted());
    EXPECT_EQ(report.files[0].output, folder / "a.toy");
    EXPECT_EQ(test::readText(folder / "a.toy"), "2x1 77,77,77") << "read, reduced and written through the entries";
    EXPECT_EQ(OutputForCliName("toy"), &OutputFormatOf(kToyOutput));
}

}  // namespace
}  // namespace vrelk
