// The plug-in host process: it loads the import filters of the plug-in
// folder, finds the first that accepts a file, lets it decode the file and
// copies its answer into shared memory. Filters are code written for other
// hosts; whatever they do here, a crash or a hang ends this process only.
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "codecs/byte_cursor.h"
#include "convert/plugin_channel_win32.h"
#include "convert/plugin_host_win32.h"
#include "convert/plugin_picture.h"
#include "platform/platform.h"

namespace vrelk {
namespace {

using namespace plugin_channel;

using GetPluginInfoProc = int(WINAPI*)(int infoNumber, LPSTR buffer, int bufferLength);
using IsSupportedProc = int(WINAPI*)(LPCSTR path, const void* head);
using ProgressProc = int(WINAPI*)(int number, int denominator, long userData);
using GetPictureInfoProc = int(WINAPI*)(LPCSTR path, long offset, unsigned flag, void* info);
using GetPictureProc = int(WINAPI*)(LPCSTR path, long offset, unsigned flag, HLOCAL* info, HLOCAL* bits,
                                    ProgressProc progress, long userData);

constexpr unsigned kInputIsFile = 0;
constexpr UINT kCrashedExit = 0xC0DE;
constexpr UINT kOrphanedExit = 0xDEAD;
constexpr int kBadStartExit = 2;

int WINAPI keepGoing(int, int, long) { return 0; }

// A filter that faults ends the host at once: no crash dialog, no
// debugger, nothing for anyone to answer.
LONG WINAPI endHostAtOnce(EXCEPTION_POINTERS*)
{
    TerminateProcess(GetCurrentProcess(), kCrashedExit);
    return EXCEPTION_EXECUTE_HANDLER;
}

struct LibraryRelease {
    void operator()(HMODULE library) const { FreeLibrary(library); }
};
using Library = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryRelease>;

struct SearchClose {
    void operator()(HANDLE search) const { FindClose(search); }
};
using Search = std::unique_ptr<std::remove_pointer_t<HANDLE>, SearchClose>;

template <class Proc>
Proc lookUp(HMODULE library, const char* name)
{
    return reinterpret_cast<Proc>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

// A broken plug-in (not a library, a missing dependency, a failing DllMain)
// is skipped without the system asking the user about it. A filter's
// DllMain may install an exception filter of its own; ours is put back.
Library loadPlugin(const platform::Path& file)
{
    DWORD previous = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
    Library library(LoadLibraryExW(file.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    SetThreadErrorMode(previous, nullptr);
    SetUnhandledExceptionFilter(endHostAtOnce);
    return library;
}

// A memory block a plug-in hands over; unlocked and freed when dropped.
class LocalBlock {
public:
    LocalBlock() = default;
    LocalBlock(const LocalBlock&) = delete;
    LocalBlock& operator=(const LocalBlock&) = delete;
    ~LocalBlock()
    {
        if (!handle)
            return;
        if (locked_)
            LocalUnlock(handle);
        LocalFree(handle);
    }

    // The block's bytes; empty when it cannot be locked or holds nothing.
    std::span<const std::uint8_t> lock()
    {
        if (!handle)
            return {};
        auto* bytes = static_cast<const std::uint8_t*>(LocalLock(handle));
        if (!bytes)
            return {};
        locked_ = true;
        return {bytes, LocalSize(handle)};
    }

    HLOCAL handle = nullptr;

private:
    bool locked_ = false;
};

bool isImportFilter(const platform::Path& file)
{
    Library library = loadPlugin(file);
    if (!library)
        return false;
    auto getPluginInfo = lookUp<GetPluginInfoProc>(library.get(), "GetPluginInfo");
    if (!getPluginInfo)
        return false;
    std::array<char, 8> kind{};
    getPluginInfo(0, kind.data(), static_cast<int>(kind.size()));
    return std::memcmp(kind.data(), "00IN", 4) == 0;
}

bool isRefused(const Refusals& refusals, const wchar_t* name)
{
    const std::uint32_t count = std::min<std::uint32_t>(refusals.count, kMaxPlugins);
    return std::any_of(refusals.names, refusals.names + count,
                       [name](const wchar_t(&refused)[kNameUnits]) { return lstrcmpiW(refused, name) == 0; });
}

// Lists the first import filters of the folder, in listing order, going on
// after the entries already examined: a restarted host passes over the one
// its predecessor died or hung in, and over those refused for the batch.
void listImportFilters(const platform::Path& folder, const Refusals& refusals, Progress& progress)
{
    progress.stage = Stage::listing;
    WIN32_FIND_DATAW entry{};
    HANDLE found = FindFirstFileW((folder / L"*.spi").c_str(), &entry);
    if (found != INVALID_HANDLE_VALUE) {
        Search search(found);
        std::uint32_t index = 0;
        do {
            if (index++ < progress.entriesDone)
                continue;
            lstrcpynW(progress.examining, entry.cFileName, kNameUnits);
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !isRefused(refusals, entry.cFileName) &&
                isImportFilter(folder / entry.cFileName)) {
                lstrcpynW(progress.names[progress.listed], entry.cFileName, kNameUnits);
                ++progress.listed;
            }
            progress.entriesDone = index;
        } while (progress.listed < kMaxPlugins && FindNextFileW(search.get(), &entry));
    }
    progress.listingDone = true;
}

struct ChosenPlugin {
    Library library;
    long startOffset = 0;
};

std::optional<ChosenPlugin> askPlugin(const platform::Path& file, const Request& request)
{
    Library library = loadPlugin(file);
    if (!library)
        return std::nullopt;
    auto isSupported = lookUp<IsSupportedProc>(library.get(), "IsSupported");
    if (!isSupported)
        return std::nullopt;
    if (isSupported(request.path, request.head))
        return ChosenPlugin{std::move(library), 0};
    if (isSupported(request.path, request.head + kPrefixBytes))
        return ChosenPlugin{std::move(library), static_cast<long>(kPrefixBytes)};
    return std::nullopt;
}

// The first listed filter from `candidate` on that recognises the file at
// its start or past a 128-byte prefix; it stays loaded.
std::optional<ChosenPlugin> choosePlugin(const platform::Path& folder, const Request& request, Progress& progress)
{
    progress.stage = Stage::asking;
    for (; progress.candidate < progress.listed; ++progress.candidate) {
        lstrcpynW(progress.examining, progress.names[progress.candidate], kNameUnits);
        if (auto chosen = askPlugin(folder / progress.names[progress.candidate], request))
            return chosen;
    }
    return std::nullopt;
}

// The picture-information record is packed in the published header, but
// plug-ins are built both ways; it starts zeroed with room for either
// layout, so an unset text handle reads as none.
struct PictureInfoRecord {
    alignas(8) std::array<std::uint8_t, 64> bytes{};

    static constexpr std::size_t kPackedHandle = 22;
    static constexpr std::size_t kAlignedHandle = 24;

    // A handle at the packed offset leaves the bytes past the packed
    // record untouched; one at the aligned offset fills them.
    HGLOBAL textHandle() const
    {
        const bool aligned = bytes[kPackedHandle + 4] != 0 || bytes[kPackedHandle + 5] != 0;
        const std::uint32_t value = LoadU32LE(bytes.data() + (aligned ? kAlignedHandle : kPackedHandle));
        return reinterpret_cast<HGLOBAL>(static_cast<std::uintptr_t>(value));
    }
};

void askPictureInfo(HMODULE library, const char* path, long startOffset)
{
    auto getPictureInfo = lookUp<GetPictureInfoProc>(library, "GetPictureInfo");
    if (!getPictureInfo)
        return;
    PictureInfoRecord record;
    if (getPictureInfo(path, startOffset, kInputIsFile, record.bytes.data()) != 0)
        return;
    if (HGLOBAL text = record.textHandle())
        GlobalFree(text);
}

Reply without(Answer answer) { return Reply{answer, nullptr, 0, 0}; }

// Copies the part of the filter's blocks that the converting process reads
// into a new mapping, which that process takes over.
Reply publishPicture(LocalBlock& infoBlock, LocalBlock& bitsBlock)
{
    std::span<const std::uint8_t> info = infoBlock.lock();
    info = info.first(PluginInfoBytesUsed(info));
    std::span<const std::uint8_t> bits = bitsBlock.lock();
    bits = bits.first(PluginPixelBytesUsed(info, bits.size()));
    Reply reply{Answer::picture, nullptr, static_cast<std::uint32_t>(info.size()),
                static_cast<std::uint32_t>(bits.size())};
    const std::uint64_t total = std::uint64_t{info.size()} + bits.size();
    if (total == 0)
        return reply;
    if (total > 0xFFFFFFFFu)
        return without(Answer::noMemory);
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        static_cast<DWORD>(total), nullptr);
    if (!mapping)
        return without(Answer::noMemory);
    auto* view = static_cast<std::uint8_t*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    if (!view) {
        CloseHandle(mapping);
        return without(Answer::noMemory);
    }
    std::memcpy(view, info.data(), info.size());
    std::memcpy(view + info.size(), bits.data(), bits.size());
    UnmapViewOfFile(view);
    reply.picture = mapping;
    return reply;
}

// Runs the chosen plug-in; its blocks are released before the library.
Reply decodeWith(const ChosenPlugin& plugin, const Request& request, Progress& progress)
{
    progress.stage = Stage::decoding;
    HMODULE library = plugin.library.get();
    askPictureInfo(library, request.path, plugin.startOffset);
    auto getPicture = lookUp<GetPictureProc>(library, "GetPicture");
    if (!getPicture)
        return without(Answer::cannotDecode);
    LocalBlock info;
    LocalBlock bits;
    if (getPicture(request.path, plugin.startOffset, kInputIsFile, &info.handle, &bits.handle, keepGoing, 0) != 0)
        return without(Answer::decodeFailed);
    return publishPicture(info, bits);
}

Reply serveRead(Channel& channel)
{
    Request& request = channel.request;
    request.folder[kFolderUnits - 1] = L'\0';
    request.path[MAX_PATH - 1] = '\0';
    const platform::Path folder(request.folder);
    if (!channel.progress.listingDone)
        listImportFilters(folder, channel.refusals, channel.progress);
    std::optional<ChosenPlugin> chosen = choosePlugin(folder, request, channel.progress);
    if (!chosen)
        return without(Answer::refused);
    return decodeWith(*chosen, request, channel.progress);
}

int servePlugins(Channel& channel)
{
    for (;;) {
        if (WaitForSingleObject(channel.requestReady, INFINITE) != WAIT_OBJECT_0)
            return kBadStartExit;
        channel.reply = serveRead(channel);
        SetEvent(channel.replyReady);
    }
}

// A filter that never returns keeps the main thread; this one ends the
// host when the converting process is gone, whatever the filter does.
DWORD WINAPI endWithParent(void* parent)
{
    WaitForSingleObject(static_cast<HANDLE>(parent), INFINITE);
    TerminateProcess(GetCurrentProcess(), kOrphanedExit);
    return 0;
}

std::optional<HANDLE> parseHandle(const wchar_t* digits)
{
    if (*digits < L'0' || *digits > L'9')
        return std::nullopt;
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(digits, &end, 10);
    if (*end != L'\0' || value == 0)
        return std::nullopt;
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

// What follows the program's own name on the command line. Parsed here
// rather than by the shell library, which the host does not load.
const wchar_t* argumentsOf(const wchar_t* commandLine)
{
    const wchar_t* at = commandLine;
    if (*at == L'"') {
        at = std::wcschr(at + 1, L'"');
        at = at ? at + 1 : commandLine + std::wcslen(commandLine);
    } else {
        at += std::wcscspn(at, L" \t");
    }
    return at + std::wcsspn(at, L" \t");
}

int runHost(const wchar_t* channelArgument)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(endHostAtOnce);
    SetDllDirectoryW(L"");
    std::optional<HANDLE> mapping = parseHandle(channelArgument);
    if (!mapping)
        return kBadStartExit;
    void* view = MapViewOfFile(*mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(Channel));
    if (!view)
        return kBadStartExit;
    Channel& channel = *static_cast<Channel*>(view);
    if (channel.magic != kMagic || WaitForSingleObject(channel.parent, 0) != WAIT_TIMEOUT)
        return kBadStartExit;
    HANDLE watcher = CreateThread(nullptr, 64 * 1024, endWithParent, channel.parent, 0, nullptr);
    if (!watcher)
        return kBadStartExit;
    CloseHandle(watcher);
    return servePlugins(channel);
}

}  // namespace

std::optional<int> RunPluginHostIfAsked()
{
    const wchar_t* arguments = argumentsOf(GetCommandLineW());
    const std::size_t switchUnits = std::wcslen(kHostSwitch);
    if (std::wcsncmp(arguments, kHostSwitch, switchUnits) != 0)
        return std::nullopt;
    return runHost(arguments + switchUnits);
}

}  // namespace vrelk
