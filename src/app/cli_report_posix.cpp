// What vrelk says about single files, on standard error: one line per
// skipped file, one per written file with -v, and a progress line that
// only a terminal gets.
#include <array>
#include <cstdio>
#include <filesystem>

#include "app/cli_posix.h"

namespace vrelk {
namespace {

struct ReasonText {
    SkipReason reason;
    std::string_view text;
    bool withCodecError;  // followed by the codec's own words when it gave any
};

constexpr std::array<ReasonText, 10> kReasonTexts{{
    {SkipReason::missing, "no such file", false},
    {SkipReason::tooShort, "empty or too short to be an image", false},
    {SkipReason::unrecognised, "unrecognised format", false},
    {SkipReason::readFailed, "cannot read", true},
    {SkipReason::reduceFailed, "size reduction failed", false},
    {SkipReason::noTempFile, "cannot create a temporary file", false},
    {SkipReason::writeFailed, "cannot write", true},
    {SkipReason::noFreeName, "every numbered output name is taken", false},
    {SkipReason::copyFailed, "cannot copy into the output folder", false},
    {SkipReason::notRegularFile, "not a regular file", false},
}};

struct OutcomeText {
    BatchOutcome outcome;
    std::string_view text;
};

// Why inputs were never reached when a batch stopped before its files.
constexpr std::array<OutcomeText, 3> kOutcomeTexts{{
    {BatchOutcome::badOutputFolder, "output folder is not usable"},
    {BatchOutcome::folderNotCreated, "sub-folder cannot be created"},
    {BatchOutcome::noMemory, "out of memory"},
}};

// The length of the well-formed UTF-8 sequence at the start of `text`, or
// 0: no overlong forms, surrogates or code points past U+10FFFF.
std::size_t utf8SequenceLength(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                       : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
    if (length == 3) {
        const unsigned char second = byte(1);
        if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F))
            return 0;
    }
    if (length == 4) {
        const unsigned char second = byte(1);
        if ((lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
            return 0;
    }
    return length;
}

void appendUnitEscape(std::string& out, unsigned unit)
{
    constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
        out += kHex[(unit >> shift) & 0xF];
}

std::string jsonObject(std::string_view input, std::string_view status, const std::string& output,
                       const std::string& reason, const std::string& width, const std::string& height,
                       const std::string& bytes)
{
    return "{\"input\":" + JsonString(input) + ",\"status\":\"" + std::string(status) + "\",\"output\":" + output +
           ",\"reason\":" + reason + ",\"width\":" + width + ",\"height\":" + height + ",\"bytes\":" + bytes + "}";
}

void writeLine(const std::string& line)
{
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
}

}  // namespace

std::string SkipReasonText(const FileFailure& failure)
{
    for (const ReasonText& entry : kReasonTexts) {
        if (entry.reason != failure.reason)
            continue;
        std::string text(entry.text);
        if (entry.withCodecError && failure.error) {
            text += ": ";
            text += describe(*failure.error);
        }
        return text;
    }
    return "failed";
}

std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    while (!text.empty()) {
        const std::size_t length = utf8SequenceLength(text);
        const auto lead = static_cast<unsigned char>(text.front());
        if (length == 0) {
            appendUnitEscape(out, 0xDC00 + lead);
        } else if (lead == '"' || lead == '\\') {
            out += '\\';
            out += static_cast<char>(lead);
        } else if (lead < 0x20 || lead == 0x7F) {
            appendUnitEscape(out, lead);
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length == 0 ? 1 : length);
    }
    out += '"';
    return out;
}

std::string JsonReportLine(std::string_view input, const FileReport& report)
{
    if (report.failure)
        return jsonObject(input, "skipped", "null", JsonString(SkipReasonText(*report.failure)), "null", "null",
                          "null");
    std::error_code error;
    const std::uintmax_t bytes = std::filesystem::file_size(report.output, error);
    return jsonObject(input, "converted", JsonString(report.output.string()), "null", std::to_string(report.size.width),
                      std::to_string(report.size.height), error ? "null" : std::to_string(bytes));
}

std::string JsonUnreachedLine(std::string_view input, BatchOutcome outcome)
{
    std::string_view reason = "batch stopped";
    for (const OutcomeText& entry : kOutcomeTexts)
        if (entry.outcome == outcome)
            reason = entry.text;
    return jsonObject(input, "skipped", "null", JsonString(reason), "null", "null", "null");
}

FileReporter::FileReporter(Verbosity verbosity, std::span<const platform::NativeString> names, bool terminal)
    : verbosity_(verbosity), names_(names), terminal_(terminal)
{
}

void FileReporter::fileDone(const FileReport& report, std::size_t index, std::size_t count)
{
    if (verbosity_ == Verbosity::quiet)
        return;
    const std::string name = index < names_.size() ? platform::toUtf8(names_[index]) : report.input.string();
    if (report.failure) {
        clearProgress();
        writeLine("vrelk: skipped " + name + ": " + SkipReasonText(*report.failure));
    } else if (verbosity_ == Verbosity::verbose) {
        clearProgress();
        writeLine("vrelk: " + name + " -> " + report.output.string());
    }
    if (terminal_ && count > 1) {
        std::string progress = "\r[" + std::to_string(index + 1) + '/' + std::to_string(count) + "] " +
                               report.input.filename().string() + "\x1b[K";
        std::fputs(progress.c_str(), stderr);
        std::fflush(stderr);
        progressShown_ = true;
    }
}

void FileReporter::finish() { clearProgress(); }

void FileReporter::clearProgress()
{
    if (!progressShown_)
        return;
    std::fputs("\r\x1b[K", stderr);
    progressShown_ = false;
}

}  // namespace vrelk
