// The Susie import plug-in host: files no built-in reader takes are offered
// to the import filters in the plug-in folder, in the order the folder lists
// them, and the first that accepts one decodes it.
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "codecs/byte_cursor.h"
#include "convert/format.h"
#include "pixel/checked.h"

namespace vrelk {
namespace {

constexpr std::size_t kPrefixBytes = 128;
// Both calls of IsSupported see 2 KB: from the start and past a 128-byte prefix.
constexpr std::size_t kHeadBytes = 2048 + kPrefixBytes;
constexpr std::size_t kMaxPlugins = 100;
constexpr std::uint32_t kInfoHeaderBytes = 40;

using GetPluginInfoProc = int(WINAPI*)(int infoNumber, LPSTR buffer, int bufferLength);
using IsSupportedProc = int(WINAPI*)(LPCSTR path, const void* head);
using ProgressProc = int(WINAPI*)(int number, int denominator, long userData);
using GetPictureInfoProc = int(WINAPI*)(LPCSTR path, long offset, unsigned flag, void* info);
using GetPictureProc = int(WINAPI*)(LPCSTR path, long offset, unsigned flag, HLOCAL* info, HLOCAL* bits,
                                    ProgressProc progress, long userData);

constexpr unsigned kInputIsFile = 0;

int WINAPI keepGoing(int, int, long) { return 0; }

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
// is skipped without the system asking the user about it.
Library loadPlugin(const platform::Path& file)
{
    DWORD previous = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
    Library library(LoadLibraryExW(file.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    SetThreadErrorMode(previous, nullptr);
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

platform::Path programFolder()
{
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0)
            return {};
        if (length < name.size()) {
            name.resize(length);
            return platform::Path(name).parent_path();
        }
        name.resize(name.size() * 2);
    }
}

// A relative plug-in folder belongs to the program, wherever it was started from.
platform::Path resolvePluginFolder(const platform::Path& folder)
{
    return folder.is_relative() ? programFolder() / folder : folder;
}

// The path in the system code page, or nullopt when a character has no
// exact counterpart there or the result does not fit 260 bytes.
std::optional<std::string> exactAnsi(const std::wstring& path)
{
    const bool utf8 = GetACP() == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL lossy = FALSE;
    BOOL* lossyOut = utf8 ? nullptr : &lossy;
    std::array<char, MAX_PATH> bytes{};
    int written = WideCharToMultiByte(CP_ACP, flags, path.c_str(), -1, bytes.data(), static_cast<int>(bytes.size()),
                                      nullptr, lossyOut);
    if (written <= 0 || lossy)
        return std::nullopt;
    return std::string(bytes.data(), static_cast<std::size_t>(written - 1));
}

// Plug-ins open the file by an ANSI name: the path itself when it converts
// exactly, else its short form; with neither they are not asked at all,
// since a mangled name opens nothing, or another file.
std::optional<std::string> pluginPath(const platform::Path& path)
{
    if (auto exact = exactAnsi(path.native()))
        return exact;
    DWORD length = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (length == 0)
        return std::nullopt;
    std::wstring shortName(length, L'\0');
    length = GetShortPathNameW(path.c_str(), shortName.data(), length);
    if (length == 0 || length >= shortName.size())
        return std::nullopt;
    shortName.resize(length);
    return exactAnsi(shortName);
}

using Head = std::array<std::uint8_t, kHeadBytes>;

// The first bytes of the file, zero past its end; nullopt when it cannot
// be opened or is empty.
std::optional<Head> readHead(const platform::Path& path)
{
    platform::File file = platform::File::openRead(path);
    if (!file.isOpen())
        return std::nullopt;
    Head head{};
    std::size_t filled = 0;
    while (filled < head.size()) {
        std::size_t got = file.read(std::span(head).subspan(filled));
        if (got == 0)
            break;
        filled += got;
    }
    if (filled == 0)
        return std::nullopt;
    return head;
}

bool isImportFilter(HMODULE library)
{
    auto getPluginInfo = lookUp<GetPluginInfoProc>(library, "GetPluginInfo");
    if (!getPluginInfo)
        return false;
    std::array<char, 8> kind{};
    getPluginInfo(0, kind.data(), static_cast<int>(kind.size()));
    return std::memcmp(kind.data(), "00IN", 4) == 0;
}

// The names of the first import filters in the folder, in listing order.
std::vector<std::wstring> listImportFilters(const platform::Path& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry{};
    HANDLE found = FindFirstFileW((folder / L"*.spi").c_str(), &entry);
    if (found == INVALID_HANDLE_VALUE)
        return names;
    Search search(found);
    do {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        if (Library library = loadPlugin(folder / entry.cFileName); library && isImportFilter(library.get()))
            names.emplace_back(entry.cFileName);
    } while (names.size() < kMaxPlugins && FindNextFileW(search.get(), &entry));
    return names;
}

struct ChosenPlugin {
    Library library;
    long startOffset = 0;
};

// The first listed filter that recognises the file at its start or past
// a 128-byte prefix; it stays loaded.
std::optional<ChosenPlugin> choosePlugin(const platform::Path& folder, const std::string& ansiPath, const Head& head)
{
    for (const std::wstring& name : listImportFilters(folder)) {
        Library library = loadPlugin(folder / name);
        if (!library)
            continue;
        auto isSupported = lookUp<IsSupportedProc>(library.get(), "IsSupported");
        if (!isSupported)
            continue;
        if (isSupported(ansiPath.c_str(), head.data()))
            return ChosenPlugin{std::move(library), 0};
        if (isSupported(ansiPath.c_str(), head.data() + kPrefixBytes))
            return ChosenPlugin{std::move(library), static_cast<long>(kPrefixBytes)};
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

void askPictureInfo(HMODULE library, const std::string& ansiPath, long startOffset)
{
    auto getPictureInfo = lookUp<GetPictureInfoProc>(library, "GetPictureInfo");
    if (!getPictureInfo)
        return;
    PictureInfoRecord record;
    if (getPictureInfo(ansiPath.c_str(), startOffset, kInputIsFile, record.bytes.data()) != 0)
        return;
    if (HGLOBAL text = record.textHandle())
        GlobalFree(text);
}

constexpr std::array<int, 4> kAcceptedDepths{1, 4, 8, 24};

struct PluginHeader {
    std::uint32_t size = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint16_t bitCount = 0;
    std::uint32_t compression = 0;
    std::int32_t xPelsPerMeter = 0;
    std::int32_t yPelsPerMeter = 0;
};

std::optional<PluginHeader> readInfoHeader(std::span<const std::uint8_t> info)
{
    if (info.size() < kInfoHeaderBytes)
        return std::nullopt;
    const std::uint8_t* b = info.data();
    auto s32 = [&](std::size_t at) { return static_cast<std::int32_t>(LoadU32LE(b + at)); };
    return PluginHeader{LoadU32LE(b), s32(4), s32(8), LoadU16LE(b + 14), LoadU32LE(b + 16), s32(24), s32(28)};
}

// Bottom-up, uncompressed, at a depth the rest of the program takes; a
// top-down or compressed result is refused rather than misread.
bool acceptable(const PluginHeader& header)
{
    return header.compression == 0 && dimensionsAllowed(header.width, header.height) &&
           std::find(kAcceptedDepths.begin(), kAcceptedDepths.end(), header.bitCount) != kAcceptedDepths.end();
}

// The colour table begins where the header's own size says (never inside
// the 40 bytes already read); entries the block does not hold stay zero.
void copyPalette(std::span<const std::uint8_t> info, std::uint32_t headerSize, Palette& palette)
{
    headerSize = std::max<std::uint32_t>(headerSize, kInfoHeaderBytes);
    if (headerSize >= info.size())
        return;
    std::span<const std::uint8_t> table = info.subspan(headerSize);
    const std::size_t entries = std::min(table.size() / sizeof(RgbQuad), palette.size());
    std::memcpy(palette.data(), table.data(), entries * sizeof(RgbQuad));
}

Result<DibImage> imageFromBlocks(LocalBlock& infoBlock, LocalBlock& bitsBlock)
{
    std::span<const std::uint8_t> info = infoBlock.lock();
    std::optional<PluginHeader> header = readInfoHeader(info);
    if (!header)
        return CodecError::badData;
    if (!acceptable(*header))
        return CodecError::unsupported;
    std::span<const std::uint8_t> bits = bitsBlock.lock();
    if (bits.empty())
        return CodecError::badData;

    Result<DibImage> image = allocateImage(header->width, header->height, header->bitCount, kFormatUnknown);
    if (!image)
        return image;
    image->header = makeBitmapHeader(header->width, header->height, header->bitCount, header->xPelsPerMeter,
                                     header->yPelsPerMeter);
    copyPalette(info, header->size, image->palette);
    // A short pixel block fills what it can; the rest stays zero.
    const std::size_t copied = std::min(bits.size(), image->pixels.size());
    std::memcpy(image->pixels.data(), bits.data(), copied);
    return image;
}

// Runs the chosen plug-in; its blocks are released before the library.
Result<DibImage> decodeWith(const ChosenPlugin& plugin, const std::string& ansiPath)
{
    HMODULE library = plugin.library.get();
    askPictureInfo(library, ansiPath, plugin.startOffset);
    auto getPicture = lookUp<GetPictureProc>(library, "GetPicture");
    if (!getPicture)
        return CodecError::unsupported;
    LocalBlock info;
    LocalBlock bits;
    if (getPicture(ansiPath.c_str(), plugin.startOffset, kInputIsFile, &info.handle, &bits.handle, keepGoing, 0) != 0)
        return CodecError::badData;
    return imageFromBlocks(info, bits);
}

}  // namespace

Result<DibImage> ReadWithPlugin(const platform::Path& path, const ConvertOptions& options)
{
    if (!options.usePlugins || options.pluginFolder.empty())
        return CodecError::unsupported;
    const platform::Path folder = resolvePluginFolder(options.pluginFolder);
    if (!platform::folderExists(folder))
        return CodecError::unsupported;

    std::optional<Head> head = readHead(path);
    if (!head)
        return CodecError::cannotOpen;
    std::optional<std::string> ansiPath = pluginPath(path);
    if (!ansiPath)
        return CodecError::unsupported;
    // Filters are written for programs with one thread: the workers of a
    // batch take turns with them.
    static platform::Mutex filtersInUse;
    std::lock_guard turn(filtersInUse);
    std::optional<ChosenPlugin> plugin = choosePlugin(folder, *ansiPath, *head);
    if (!plugin)
        return CodecError::unsupported;
    return decodeWith(*plugin, *ansiPath);
}

}  // namespace vrelk
