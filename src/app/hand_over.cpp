#include "app/hand_over.h"

namespace vrelk {
namespace {

std::u16string::value_type unitAt(std::span<const std::byte> data, std::size_t index)
{
    const auto low = std::to_integer<unsigned>(data[2 * index]);
    const auto high = std::to_integer<unsigned>(data[2 * index + 1]);
    return static_cast<char16_t>(low | high << 8);
}

}  // namespace

std::vector<std::byte> PackHandOver(std::span<const std::u16string> paths)
{
    std::vector<std::byte> data;
    for (const std::u16string& path : paths) {
        for (char16_t unit : path + u'\0') {
            data.push_back(static_cast<std::byte>(unit & 0xFF));
            data.push_back(static_cast<std::byte>(unit >> 8));
        }
    }
    return data;
}

std::optional<std::vector<std::u16string>> ParseHandOver(std::span<const std::byte> data)
{
    if (data.empty() || data.size() % 2 != 0)
        return std::nullopt;
    const std::size_t units = data.size() / 2;
    if (unitAt(data, units - 1) != u'\0')
        return std::nullopt;
    std::vector<std::u16string> paths;
    std::u16string path;
    for (std::size_t i = 0; i < units; ++i) {
        const char16_t unit = unitAt(data, i);
        if (unit == u'\0') {
            if (path.empty())
                return std::nullopt;
            paths.push_back(std::move(path));
            path.clear();
            continue;
        }
        if (unit < 0x20 || path.size() == kMaxHandOverPathUnits)
            return std::nullopt;
        path.push_back(unit);
    }
    return paths;
}

}  // namespace vrelk
