// The quality scale of the JPEG, WebP and AVIF writers, shared with the settings
// that choose a quality.
#pragma once

#include <cstdint>

namespace vrelk {

inline constexpr std::int32_t kLowestQuality = 1;
inline constexpr std::int32_t kHighestQuality = 100;
// Also what a writer takes for a quality above the scale.
inline constexpr std::int32_t kDefaultQuality = 75;

}  // namespace vrelk
