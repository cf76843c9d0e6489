// The shared memory between the converting process and its plug-in host.
// Both are the same executable, so one definition of the layout serves
// both sides and cannot drift apart between versions.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace vrelk::plugin_channel {

inline constexpr std::size_t kPrefixBytes = 128;
// Both calls of IsSupported see 2 KB: from the start and past a 128-byte prefix.
inline constexpr std::size_t kHeadBytes = 2048 + kPrefixBytes;
inline constexpr std::size_t kMaxPlugins = 100;
inline constexpr std::size_t kNameUnits = MAX_PATH;
inline constexpr std::size_t kFolderUnits = 1024;
inline constexpr std::uint32_t kMagic = 0x56534831;  // "VSH1"

// The one argument that makes the program a plug-in host, followed by the
// channel's mapping handle in decimal. A file name cannot hold '|', so no
// file handed over by the shell reads as this.
inline constexpr wchar_t kHostSwitch[] = L"|vrelk-plugin-host|";

// Where the host is in the current file: after a crash, the stage and the
// indexes below say which filter was running and where to go on.
enum class Stage : std::uint32_t { idle, listing, asking, decoding };

// How the host answered a read: no filter took the file; the filter that
// took it has no GetPicture, or its GetPicture failed; the picture could not
// be handed over; or the picture is in `Reply::picture`.
enum class Answer : std::uint32_t { refused, cannotDecode, decodeFailed, noMemory, picture };

struct Request {
    wchar_t folder[kFolderUnits];  // the plug-in folder, null-terminated
    char path[MAX_PATH];           // the input as the filters open it
    std::uint8_t head[kHeadBytes];
};

// Written by the host as it works, read by the converting process only
// when the host has answered or died.
struct Progress {
    Stage stage;
    std::uint32_t entriesDone;  // folder entries examined while listing
    bool listingDone;
    std::uint32_t listed;
    std::uint32_t candidate;  // the listed filter being asked
    wchar_t examining[kNameUnits];  // the filter being loaded or asked
    wchar_t names[kMaxPlugins][kNameUnits];
};

// Filters that hung, or died while being loaded, earlier in the batch:
// written by the converting process between exchanges; the host lists
// none of them again.
struct Refusals {
    std::uint32_t count;
    wchar_t names[kMaxPlugins][kNameUnits];
};

struct Reply {
    Answer answer;
    HANDLE picture;   // the host's mapping: information block, then pixel block
    std::uint32_t infoBytes;
    std::uint32_t bitsBytes;
};

// Lives in a zero-filled mapping; nothing in it is constructed.
struct Channel {
    std::uint32_t magic;
    HANDLE requestReady;  // inherited by the host
    HANDLE replyReady;
    HANDLE parent;
    Request request;
    Progress progress;
    Refusals refusals;
    Reply reply;
};
static_assert(std::is_trivially_copyable_v<Channel> && std::is_trivially_default_constructible_v<Channel>);

}  // namespace vrelk::plugin_channel
