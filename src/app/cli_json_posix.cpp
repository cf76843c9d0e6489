// The JSON report of vrelk: one object per input, for scripts and
// schedulers that collect what happened to each file.
#include <array>

#include "app/cli_posix.h"

namespace vrelk {
namespace {

struct OutcomeText {
    BatchOutcome outcome;
    std::string_view text;
};

// Why inputs were never reached when a batch stopped before its files.
constexpr std::array<OutcomeText, 4> kOutcomeTexts{{
    {BatchOutcome::badOutputFolder, "output folder is not usable"},
    {BatchOutcome::folderNotCreated, "sub-folder cannot be created"},
    {BatchOutcome::badSubFolder, "sub-folder setting MkDirStr is not one plain folder name"},
    {BatchOutcome::noMemory, "out of memory"},
}};

// The well-formed UTF-8 sequences by their first byte: length and the
// range of the second byte, which rules out overlong forms, surrogates and
// code points past U+10FFFF. Later bytes are 0x80..0xBF.
struct Utf8Lead {
    unsigned char low, high;
    std::size_t length;
    unsigned char secondLow, secondHigh;
};

constexpr std::array<Utf8Lead, 9> kUtf8Leads{{
    {0x00, 0x7F, 1, 0x00, 0x00},
    {0xC2, 0xDF, 2, 0x80, 0xBF},
    {0xE0, 0xE0, 3, 0xA0, 0xBF},
    {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F},
    {0xEE, 0xEF, 3, 0x80, 0xBF},
    {0xF0, 0xF0, 4, 0x90, 0xBF},
    {0xF1, 0xF3, 4, 0x80, 0xBF},
    {0xF4, 0xF4, 4, 0x80, 0x8F},
}};

// The length of the well-formed sequence at the start of `text`, or 0.
std::size_t utf8SequenceLength(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    for (const Utf8Lead& lead : kUtf8Leads) {
        if (byte(0) < lead.low || byte(0) > lead.high)
            continue;
        if (lead.length > text.size())
            return 0;
        if (lead.length > 1 && (byte(1) < lead.secondLow || byte(1) > lead.secondHigh))
            return 0;
        for (std::size_t i = 2; i < lead.length; ++i)
            if ((byte(i) & 0xC0) != 0x80)
                return 0;
        return lead.length;
    }
    return 0;
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
                       const std::string& bytes, const std::string& targetMet = "null",
                       const std::string& kept = "null")
{
    return "{\"input\":" + JsonString(input) + ",\"status\":\"" + std::string(status) + "\",\"output\":" + output +
           ",\"reason\":" + reason + ",\"width\":" + width + ",\"height\":" + height + ",\"bytes\":" + bytes +
           ",\"target_met\":" + targetMet + ",\"kept\":" + kept + "}";
}

// What the output carries of its input besides the picture.
std::string jsonKept(const FileReport& report)
{
    std::string kept = "[";
    for (auto [carried, name] : {std::pair{report.alphaKept, "\"alpha\""}, std::pair{report.metadataKept, "\"metadata\""},
                                 std::pair{report.timeKept.value_or(false), "\"time\""}})
        if (carried) {
            kept += kept.size() > 1 ? "," : "";
            kept += name;
        }
    kept += ']';
    return kept;
}

std::string jsonBool(std::optional<bool> value)
{
    return value ? (*value ? "true" : "false") : "null";
}

}  // namespace

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

std::string JsonReportLine(std::string_view input, const FileReport& report, const WrittenFile& written)
{
    if (report.failure)
        return jsonObject(input, "skipped", "null", JsonString(SkipReasonText(*report.failure)), "null", "null",
                          "null");
    return jsonObject(input, "converted", JsonString(report.output.string()), "null", std::to_string(report.size.width),
                      std::to_string(report.size.height), written.bytes ? std::to_string(*written.bytes) : "null",
                      jsonBool(written.targetMet), jsonKept(report));
}

std::string JsonUnreachedLine(std::string_view input, BatchOutcome outcome)
{
    std::string_view reason = "batch stopped";
    for (const OutcomeText& entry : kOutcomeTexts)
        if (entry.outcome == outcome)
            reason = entry.text;
    return JsonSkippedLine(input, reason);
}

std::string JsonSkippedLine(std::string_view input, std::string_view reason)
{
    return jsonObject(input, "skipped", "null", JsonString(reason), "null", "null", "null");
}

}  // namespace vrelk
