// Every stored setting in one table: its INI key, its default, the values
// it may take and how a load treats the rest. The settings record, the
// store, the command line and the settings window take their numbers from
// here; a new setting is one entry here and one field of Settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codecs/quality.h"
#include "convert/options.h"
#include "picture/checked.h"
#include "pixel/resize.h"

namespace vrelk {

// How a load takes a stored number.
enum class OnLoad : std::uint8_t {
    asStored,       // any integer; bounded only before a batch
    bitZero,        // a flag: bit zero of the integer
    defaultOutside  // a value outside low..high loads as the default
};

struct NumberKey {
    std::string_view name;
    std::int32_t fallback;
    std::int32_t low;
    std::int32_t high;
    OnLoad onLoad;
};

struct TextKey {
    std::string_view name;
    std::string_view fallback;
};

// A value with its name on the command line.
struct NamedValue {
    std::string_view cliName;
    std::int32_t value;
};

namespace keys {

inline constexpr NumberKey kQuality{"Quality", kDefaultQuality, kLowestQuality, kHighestQuality, OnLoad::asStored};
// Sampling 0 is 2x2, 2 is 1x1 (the JPEG writer also knows 1, 2x1).
inline constexpr NamedValue kSamplings[] = {{"2x2", 0}, {"1x1", 2}};
inline constexpr NumberKey kSampling{"Sampling", kSamplings[0].value, 0, 2, OnLoad::asStored};
inline constexpr NumberKey kLimit{"Limit", 0, 0, 1, OnLoad::bitZero};
inline constexpr NumberKey kLmtVal{"LmtVal", kDefaultLimitKilobytes, 1, 32767, OnLoad::asStored};
inline constexpr NumberKey kResize{"Resize", 0, 0, 1, OnLoad::bitZero};
inline constexpr NumberKey kRszOpt{"RszOpt", kReduceLongerSide, kReduceWidth, kReduceLongerSide, OnLoad::asStored};
inline constexpr NumberKey kRszSize{"RszSize", kDefaultResizeSize, 1, kMaxDimension, OnLoad::asStored};
inline constexpr TextKey kOutDir{"OutDir", ""};
inline constexpr NumberKey kMkDirAdd{"MkDirAdd", 0, 0, 1, OnLoad::bitZero};
inline constexpr TextKey kMkDirStr{"MkDirStr", "Output"};
inline constexpr NumberKey kUseSpi{"UseSpi", 1, 0, 1, OnLoad::bitZero};
inline constexpr TextKey kSPI{"SPI", ""};
inline constexpr NumberKey kOldCheck{"OldCheck", 0, 0, 1, OnLoad::bitZero};
// 0 asks at run time; 1.. are the fixed output choices. Anything else
// would leave the choice without a selection, and a drop would then be
// kept with no window to finish it.
inline constexpr NumberKey kDrctCvt{"DrctCvt", 0, 1, 7, OnLoad::defaultOutside};
// Transparency goes into PNG, WebP and GIF outputs.
inline constexpr NumberKey kKeepAlpha{"KeepAlpha", 0, 0, 1, OnLoad::bitZero};
// Exif and XMP go into JPEG, PNG and WebP outputs: 1 all of them, 2 all
// but where the picture was taken.
inline constexpr NumberKey kKeepMeta{"KeepMeta", 0, 0, 2, OnLoad::defaultOutside};
// Each output gets its input's modification time.
inline constexpr NumberKey kKeepTime{"KeepTime", 0, 0, 1, OnLoad::bitZero};

}  // namespace keys

inline constexpr std::size_t kStoredKeyCount = 17;

// The value a load keeps of the stored integer `stored`.
std::int32_t loadedNumber(const NumberKey& key, std::int32_t stored);

// The integer the command line gives for `key`: decimal within the key's
// bounds, or nothing.
std::optional<std::int32_t> parseNumberOption(std::string_view text, const NumberKey& key);
// "from LOW to HIGH", for the command line's problems.
std::string boundsText(const NumberKey& key);

}  // namespace vrelk
