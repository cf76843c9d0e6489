// Every format the program knows, in one table each way: how an input is
// recognised from its first bytes and which reader takes it; and for each
// output choice its writer, extension, names, keys and what it can keep.
// A new format is one entry here and its codec files.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "codecs/byte_cursor.h"
#include "codecs/codec.h"
#include "platform/platform.h"

namespace vrelk {

// What sniffing a file's first bytes found.
enum FormatCode : std::int32_t {
    kFormatUnknown = 0,
    kFormatBmp = 1,
    kFormatPng = 2,
    kFormatJpeg = 3,
    kFormatTiff = 4,
    kFormatGif = 5,
    kFormatTooShort = 6,
    kFormatWebp = 7,
    kFormatHeif = 8,  // HEIC and AVIF
};

// What a format's signature test says of the bytes at hand.
enum class Signature { no, yes, needMore };

struct ReadContext;
using ReadEntry = Result<Picture> (*)(ByteCursor in, const ReadContext& context);

struct InputFormat {
    FormatCode code;
    Signature (*sniff)(std::span<const std::uint8_t> bytes);
    ReadEntry read;
};

// What a writer keeps of a picture besides its pixels; the rest is
// settled first (colours converted to sRGB when it keeps no profile).
enum Keeps : unsigned {
    kKeepsNothing = 0,
    kKeepsProfile = 1u << 0,
    kKeepsAlpha = 1u << 1,
    kKeepsMetadata = 1u << 2,
    kMeetsSizeTarget = 1u << 3,
};

// Writes a picture to a path (the batch's staging file).
struct ConvertOptions;
using WriteStep = Status (*)(const ImageView& image, const platform::Path& output, const ConvertOptions& options);

enum class PerFileStep { convert, recode };

// The format window's buttons, one an output choice.
enum FormatCommand : int {
    kCommandBmp = 1000,
    kCommandPng = 1001,
    kCommandJpeg = 1002,
    kCommandGif = 1003,
    kCommandRecode = 1004,
    kCommandWebp = 1007,
    kCommandAvif = 1008,
};

struct OutputFormat {
    std::int32_t outputType;  // the value the shells pass to a batch
    std::int32_t directChoice;  // DrctCvt: the settings' fixed choice
    int command;                 // its button in the format window
    char key;                    // its key there and at the prompt
    std::string_view name;       // in the settings' list of choices (UTF-8)
    std::string_view label;      // the button's text (UTF-8)
    std::string_view cliName;    // vrelk -f NAME
    std::string_view cliAlias;   // another accepted NAME, or empty
    std::string_view extension;
    PerFileStep step;
    WriteStep write;  // null for the re-encode, which has its own writer
    unsigned keeps;
};

// The input formats, in the order their signatures are tried.
std::span<const InputFormat> InputFormats();
// The output choices, in the order of DrctCvt 1.. and of the buttons.
std::span<const OutputFormat> OutputFormats();

// Adds a format behind the built-in ones, before any batch runs (the
// tables are not guarded): how a test shows that a format is one entry.
void RegisterInputFormat(const InputFormat& format);
void RegisterOutputFormat(const OutputFormat& format);

// The format whose signature the bytes carry, kFormatTooShort when there
// are too few to tell, kFormatUnknown when none is carried.
FormatCode SniffFormat(std::span<const std::uint8_t> bytes);
const InputFormat* InputFormatOf(FormatCode code);

// The output choice of an output type; any unknown type acts as BMP.
const OutputFormat& OutputFormatOf(std::int32_t outputType);
const OutputFormat* OutputForDirectChoice(std::int32_t directChoice);
const OutputFormat* OutputForCommand(int command);
const OutputFormat* OutputForKey(char key);
const OutputFormat* OutputForCliName(std::string_view name);

}  // namespace vrelk
