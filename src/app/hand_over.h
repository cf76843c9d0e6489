// The file list a second start of the program hands to the one already
// running: UTF-16 paths, each ended by a zero unit, in the data of one
// window message. Any program can send that message, so the reading side
// checks everything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vrelk {

// Tells our hand-over apart from other data sent to the window ("VRLK").
inline constexpr std::uintptr_t kHandOverTag = 0x56524C4B;
// The longest path the system takes, in UTF-16 units.
inline constexpr std::size_t kMaxHandOverPathUnits = 32767;

std::vector<std::byte> PackHandOver(std::span<const std::u16string> paths);

// None unless the data is whole: an even size, at least one path, every
// path non-empty, ended, within the length limit and free of control
// characters.
std::optional<std::vector<std::u16string>> ParseHandOver(std::span<const std::byte> data);

}  // namespace vrelk
