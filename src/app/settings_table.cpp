// The store's side of the table: which field of Settings each key fills,
// how it is read from the "SImg" section and the text it is saved as.
#include "app/settings_table.h"

#include <algorithm>
#include <charconv>
#include <type_traits>

#include "app/settings.h"

namespace vrelk {
namespace {

constexpr std::string_view kSection = "SImg";
// Strings are read through a 260-unit buffer, terminator included.
constexpr std::size_t kMaxStringUnits = 259;

// UTF-16 units of the character that begins at `at`, or 0 inside one: a
// lead byte or a high surrogate begins one, a continuation byte or a low
// surrogate does not.
[[maybe_unused]] std::size_t unitsOfCharacterAt(const std::string& text, std::size_t at)
{
    const auto byte = static_cast<unsigned char>(text[at]);
    if ((byte & 0xC0) == 0x80)
        return 0;
    return byte >= 0xF0 ? 2 : 1;
}

[[maybe_unused]] std::size_t unitsOfCharacterAt(const std::wstring& text, std::size_t at)
{
    const auto unit = static_cast<std::uint32_t>(text[at]);
    return unit >= 0xDC00 && unit <= 0xDFFF ? 0 : 1 + (unit >= 0xD800 && unit <= 0xDBFF);
}

// The longest whole-character beginning of `value` of at most `limit`
// UTF-16 units, which is how the Windows program counts.
void keepWholeCharacters(platform::NativeString& value, std::size_t limit)
{
    std::size_t units = 0;
    for (std::size_t at = 0; at < value.size(); ++at) {
        const std::size_t width = unitsOfCharacterAt(value, at);
        if (width != 0 && units + width > limit) {
            value.resize(at);
            return;
        }
        units += width;
    }
}

platform::NativeString readText(const platform::Path& file, const TextKey& key)
{
    platform::NativeString value = shell::iniReadString(file, kSection, key.name, platform::fromUtf8(key.fallback));
    keepWholeCharacters(value, kMaxStringUnits);
    return value;
}

using LoadKey = void (*)(Settings& settings, const platform::Path& file);
using SaveKey = platform::NativeString (*)(const Settings& settings);

struct StoredKey {
    std::string_view name;
    LoadKey load;
    SaveKey save;
};

// A number or a flag, saved in decimal (a flag as 0 or 1).
template <const NumberKey& key, auto field>
constexpr StoredKey number()
{
    return {key.name,
            [](Settings& s, const platform::Path& file) {
                using Field = std::remove_reference_t<decltype(s.*field)>;
                s.*field = static_cast<Field>(
                    loadedNumber(key, shell::iniReadInt(file, kSection, key.name, key.fallback)));
            },
            [](const Settings& s) {
                return platform::fromUtf8(std::to_string(static_cast<std::int32_t>(s.*field)));
            }};
}

// A string or a folder, saved as it is.
template <const TextKey& key, auto field>
constexpr StoredKey text()
{
    return {key.name, [](Settings& s, const platform::Path& file) { s.*field = readText(file, key); },
            [](const Settings& s) { return platform::NativeString(s.*field); }};
}

// In file order.
constexpr StoredKey kStoredKeys[] = {
    number<keys::kQuality, &Settings::Quality>(),   number<keys::kSampling, &Settings::Sampling>(),
    number<keys::kLimit, &Settings::Limit>(),       number<keys::kLmtVal, &Settings::LmtVal>(),
    number<keys::kResize, &Settings::Resize>(),     number<keys::kRszOpt, &Settings::RszOpt>(),
    number<keys::kRszSize, &Settings::RszSize>(),   text<keys::kOutDir, &Settings::OutDir>(),
    number<keys::kMkDirAdd, &Settings::MkDirAdd>(), text<keys::kMkDirStr, &Settings::MkDirStr>(),
    number<keys::kUseSpi, &Settings::UseSpi>(),     text<keys::kSPI, &Settings::SPI>(),
    number<keys::kOldCheck, &Settings::OldCheck>(), number<keys::kDrctCvt, &Settings::DrctCvt>(),
    number<keys::kKeepAlpha, &Settings::KeepAlpha>(), number<keys::kKeepMeta, &Settings::KeepMeta>(),
    number<keys::kKeepTime, &Settings::KeepTime>(),
};
static_assert(std::size(kStoredKeys) == kStoredKeyCount);

}  // namespace

std::int32_t loadedNumber(const NumberKey& key, std::int32_t stored)
{
    switch (key.onLoad) {
    case OnLoad::asStored:
        return stored;
    case OnLoad::bitZero:
        return stored & 1;
    case OnLoad::defaultOutside:
        return stored < key.low || stored > key.high ? key.fallback : stored;
    }
    return key.fallback;
}

std::optional<std::int32_t> parseNumberOption(std::string_view text, const NumberKey& key)
{
    std::int32_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < key.low || value > key.high)
        return std::nullopt;
    return value;
}

std::string boundsText(const NumberKey& key)
{
    return "from " + std::to_string(key.low) + " to " + std::to_string(key.high);
}

Settings LoadSettings(const platform::Path& iniPath)
{
    Settings settings;
    for (const StoredKey& key : kStoredKeys)
        key.load(settings, iniPath);
    dropMissingPluginFolder(settings);
    return settings;
}

std::array<shell::IniEntry, kStoredKeyCount> settingsEntries(const Settings& settings)
{
    std::array<shell::IniEntry, kStoredKeyCount> entries;
    for (std::size_t i = 0; i < entries.size(); ++i)
        entries[i] = {kStoredKeys[i].name, kStoredKeys[i].save(settings)};
    return entries;
}

bool SaveSettings(const Settings& settings, const platform::Path& iniPath)
{
    const auto entries = settingsEntries(settings);
    return shell::iniReplaceSection(iniPath, kSection, entries);
}

bool CreateSettingsFile(const Settings& settings, const platform::Path& iniPath)
{
    std::optional<platform::Path> staged = platform::createStagingFile(iniPath.parent_path());
    if (!staged)
        return false;
    const bool made = SaveSettings(settings, *staged) && platform::flushToDisk(*staged) &&
                      platform::publishNoReplace(*staged, iniPath) == platform::PublishResult::published;
    if (!made)
        platform::deleteFile(*staged);
    return made;
}

}  // namespace vrelk
