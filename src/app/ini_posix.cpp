// A small private-profile store with the observable rules of the Windows
// one: case-insensitive section and key names, trimmed values, surrounding
// double quotes removed, and a rewritten section placed at the end.
#include "app/shell_os.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
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

std::vector<std::string> readLines(const Path& file)
{
    std::vector<std::string> lines;
    std::ifstream in(file, std::ios::binary);
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
    for (const std::string& line : readLines(file)) {
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
    for (const std::string& line : readLines(file)) {
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
        stream << out.str();
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
