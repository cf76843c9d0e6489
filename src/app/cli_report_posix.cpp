// What vrelk says about single files, on standard error: one line per
// skipped file and per file above its size target, one per written file
// with -v, and a progress line that only a terminal gets. Names are
// written with their control characters escaped as `ls -b` writes them, so
// that a name cannot move the cursor, retitle the terminal or split a line.
#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <iterator>

#include "app/cli_posix.h"

namespace vrelk {
namespace {

struct ReasonText {
    SkipReason reason;
    std::string_view text;
    bool withCodecError;  // followed by the codec's own words when it gave any
};

constexpr std::array<ReasonText, 12> kReasonTexts{{
    {SkipReason::missing, "no such file", false},
    {SkipReason::tooShort, "empty or too short to be an image", false},
    {SkipReason::unrecognised, "unrecognised format", false},
    {SkipReason::readFailed, "cannot read", true},
    {SkipReason::reduceFailed, "size reduction failed", true},
    {SkipReason::noTempFile, "cannot create a file in the output folder", false},
    {SkipReason::writeFailed, "cannot write", true},
    {SkipReason::noFreeName, "every numbered output name is taken", false},
    {SkipReason::publishFailed, "cannot write into the output folder", false},
    {SkipReason::notRegularFile, "not a regular file", false},
    {SkipReason::batchStopped, "not converted: the batch stopped early", false},
    {SkipReason::notJpeg, "not a JPEG: only JPEG files can be re-encoded losslessly", false},
}};

// Rounded up, so that a file just past its target never reads as on it.
std::uint64_t kilobytesAbove(std::uint64_t bytes) { return bytes / 1024 + (bytes % 1024 != 0); }

struct ControlEscape {
    char byte;
    char letter;
};
constexpr std::array<ControlEscape, 8> kControlEscapes{{
    {'\a', 'a'}, {'\b', 'b'}, {'\t', 't'}, {'\n', 'n'}, {'\v', 'v'}, {'\f', 'f'}, {'\r', 'r'}, {'\\', '\\'},
}};

void appendEscaped(std::string& out, unsigned char byte)
{
    for (const ControlEscape& entry : kControlEscapes) {
        if (static_cast<unsigned char>(entry.byte) == byte) {
            out += '\\';
            out += entry.letter;
            return;
        }
    }
    out += '\\';
    out += static_cast<char>('0' + (byte >> 6));
    out += static_cast<char>('0' + ((byte >> 3) & 7));
    out += static_cast<char>('0' + (byte & 7));
}

void writeLine(const std::string& line)
{
    std::fputs(line.c_str(), stderr);
    std::fputc('\n', stderr);
}

}  // namespace

std::string TerminalName(std::string_view name)
{
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || byte == '\\')
            appendEscaped(out, byte);
        else
            out += c;
    }
    return out;
}

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

std::optional<std::uint64_t> SizeTarget(const Settings& settings)
{
    if (!settings.Limit || (OutputFormatOf(settings.outputType).keeps & kMeetsSizeTarget) == 0)
        return std::nullopt;
    return std::uint64_t{1024} * static_cast<std::uint64_t>(std::max(settings.LmtVal, 1));
}

WrittenFile InspectWritten(const FileReport& report, std::optional<std::uint64_t> sizeTarget)
{
    WrittenFile written;
    if (report.failure)
        return written;
    std::error_code error;
    const std::uintmax_t bytes = std::filesystem::file_size(report.output, error);
    if (error)
        return written;
    written.bytes = bytes;
    if (sizeTarget)
        written.targetMet = bytes <= *sizeTarget;
    return written;
}

FileReporter::FileReporter(Verbosity verbosity, std::span<const platform::NativeString> names, bool terminal,
                           std::optional<std::uint64_t> sizeTarget)
    : verbosity_(verbosity), names_(names), terminal_(terminal), sizeTarget_(sizeTarget)
{
}

void FileReporter::fileDone(const FileReport& report, const WrittenFile& written, std::size_t index,
                            std::size_t count)
{
    if (verbosity_ == Verbosity::quiet)
        return;
    const std::string name =
        TerminalName(index < names_.size() ? platform::toUtf8(names_[index]) : report.input.string());
    const std::string output = TerminalName(report.output.string());
    if (report.failure) {
        writeSkipped(name, SkipReasonText(*report.failure));
    } else if (verbosity_ == Verbosity::verbose) {
        clearProgress();
        writeLine("vrelk: " + name + " -> " + output);
    }
    if (written.targetMet == false && written.bytes && sizeTarget_) {
        clearProgress();
        writeLine("vrelk: " + name + ": " + std::to_string(kilobytesAbove(*written.bytes)) + " KB, above the " +
                  std::to_string(*sizeTarget_ / 1024) + " KB target");
    }
    if (report.timeKept == false) {
        clearProgress();
        writeLine("vrelk: " + name + ": the input's modification time could not be given to " + output);
    }
    if (terminal_ && count > 1) {
        std::string progress = "\r[" + std::to_string(++done_) + '/' + std::to_string(count) + "] " +
                               TerminalName(report.input.filename().string()) + "\x1b[K";
        std::fputs(progress.c_str(), stderr);
        std::fflush(stderr);
        progressShown_ = true;
    }
}

void FileReporter::skipped(std::size_t index, std::string_view reason)
{
    if (verbosity_ != Verbosity::quiet && index < names_.size())
        writeSkipped(TerminalName(platform::toUtf8(names_[index])), reason);
}

void FileReporter::writeSkipped(const std::string& name, std::string_view reason)
{
    clearProgress();
    std::string line = "vrelk: skipped " + name + ": ";
    line += reason;
    writeLine(line);
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
