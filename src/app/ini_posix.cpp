// A small private-profile store with the observable rules of the Windows
// one: case-insensitive section and key names, trimmed values, surrounding
// double quotes removed, and a rewritten section placed at the end.
#include "app/shell_os.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace vrelk::shell {

using platform::NativeString;
using platform::Path;
namespace {

std::string_view trim(std::string_view text)
{
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

bool equalsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

void appendUtf8(std::string& out, char32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// UTF-16 LE after its byte-order mark, as UTF-8; a lone surrogate becomes U+FFFD.
std::string utf8FromUtf16Le(std::string_view bytes)
{
    std::string out;
    auto unitAt = [&](std::size_t i) {
        return static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8);
    };
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const char16_t unit = unitAt(i);
        const bool high = unit >= 0xD800 && unit < 0xDC00;
        if (high && i + 3 < bytes.size() && unitAt(i + 2) >= 0xDC00 && unitAt(i + 2) < 0xE000) {
            appendUtf8(out, 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (unitAt(i + 2) - 0xDC00));
            i += 2;
        } else {
            appendUtf8(out, unit >= 0xD800 && unit < 0xE000 ? char32_t{0xFFFD} : char32_t{unit});
        }
    }
    return out;
}

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeMark = "\xFF\xFE";

// How a settings file is encoded; a rewrite keeps it, as the Windows
// profile functions do, so Notepad's UTF-16 stays UTF-16.
enum class Encoding { asIs, utf8Marked, utf16LeMarked };

struct FileText {
    std::string utf8;
    Encoding encoding = Encoding::asIs;
};

// The file's text as UTF-8. Like the Windows profile functions, a file
// that opens with a byte-order mark is read in its encoding (Notepad saves
// UTF-8 and UTF-16 LE with one); without one it is taken as it is.
FileText readText(const Path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.starts_with(kUtf8Mark))
        return {bytes.substr(kUtf8Mark.size()), Encoding::utf8Marked};
    if (bytes.starts_with(kUtf16LeMark))
        return {utf8FromUtf16Le(std::string_view(bytes).substr(kUtf16LeMark.size())), Encoding::utf16LeMarked};
    return {std::move(bytes), Encoding::asIs};
}

// The code point of the UTF-8 sequence at `at`, and its length; a byte
// that begins no whole sequence is U+FFFD of length 1.
std::pair<char32_t, std::size_t> codePointAt(std::string_view text, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (length == 0 || at + length > text.size())
        return {0xFFFD, 1};
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80)
            return {0xFFFD, 1};
        code = code << 6 | (next & 0x3F);
    }
    constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kShortest[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000))
        return {0xFFFD, 1};
    return {code, length};
}

std::string utf16LeFromUtf8(std::string_view text)
{
    std::string out;
    auto appendUnit = [&](char32_t unit) {
        out += static_cast<char>(unit & 0xFF);
        out += static_cast<char>(unit >> 8);
    };
    for (std::size_t at = 0; at < text.size();) {
        const auto [code, length] = codePointAt(text, at);
        at += length;
        if (code >= 0x10000) {
            appendUnit(0xD800 + ((code - 0x10000) >> 10));
            appendUnit(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            appendUnit(code);
        }
    }
    return out;
}

std::string encoded(const std::string& utf8, Encoding encoding)
{
    switch (encoding) {
    case Encoding::utf8Marked: return std::string(kUtf8Mark) + utf8;
    case Encoding::utf16LeMarked: return std::string(kUtf16LeMark) + utf16LeFromUtf8(utf8);
    case Encoding::asIs: break;
    }
    return utf8;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
    }
    return lines;
}

// The section name of a "[name]" line, or nullopt for other lines.
std::optional<std::string_view> sectionHeader(std::string_view line)
{
    line = trim(line);
    if (line.size() < 2 || line.front() != '[')
        return std::nullopt;
    auto close = line.find(']');
    if (close == std::string_view::npos)
        return std::nullopt;
    return trim(line.substr(1, close - 1));
}

std::optional<std::string> lookup(const Path& file, std::string_view section, std::string_view key)
{
    bool inSection = false;
    for (const std::string& line : linesOf(readText(file).utf8)) {
        if (auto name = sectionHeader(line)) {
            inSection = equalsNoCase(*name, section);
            continue;
        }
        if (!inSection)
            continue;
        auto equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        if (!equalsNoCase(trim(std::string_view(line).substr(0, equals)), key))
            continue;
        std::string_view value = trim(std::string_view(line).substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        return std::string(value);
    }
    return std::nullopt;
}

int parseLeadingInteger(std::string_view text)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min<long long>(value * 10 + (text[i] - '0'), 1LL + INT_MAX);
    if (negative)
        value = -value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

}  // namespace

int iniReadInt(const Path& file, std::string_view section, std::string_view key, int fallback)
{
    auto value = lookup(file, section, key);
    if (!value || value->empty())
        return fallback;
    return parseLeadingInteger(*value);
}

NativeString iniReadString(const Path& file, std::string_view section, std::string_view key,
                           const NativeString& fallback)
{
    auto value = lookup(file, section, key);
    return value ? *value : fallback;
}

bool iniReplaceSection(const Path& file, std::string_view section, std::span<const IniEntry> entries)
{
    std::ostringstream out;
    bool inSection = false;
    const FileText text = readText(file);
    for (const std::string& line : linesOf(text.utf8)) {
        if (auto name = sectionHeader(line))
            inSection = equalsNoCase(*name, section);
        if (!inSection)
            out << line << "\r\n";
    }
    out << '[' << section << "]\r\n";
    for (const IniEntry& entry : entries)
        out << entry.key << '=' << entry.value << "\r\n";

    // Write beside the target and rename, so that a failed write never
    // leaves a half-written settings file behind.
    Path partial = file;
    partial += ".partial";
    {
        std::ofstream stream(partial, std::ios::binary | std::ios::trunc);
        stream << encoded(out.str(), text.encoding);
        stream.flush();
        if (!stream) {
            ::unlink(partial.c_str());
            return false;
        }
    }
    if (std::rename(partial.c_str(), file.c_str()) != 0) {
        ::unlink(partial.c_str());
        return false;
    }
    return true;
}

}  // namespace vrelk::shell
