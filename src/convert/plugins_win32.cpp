// The Susie import plug-ins, seen from the converting process: files no
// built-in reader takes are offered to the import filters in the plug-in
// folder, in the order the folder lists them, and the first that accepts
// one decodes it. The filters run in a host process (plugin_filters_win32),
// so that one which crashes or hangs costs its file and not the batch.
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>

#include "convert/format.h"
#include "convert/plugin_channel_win32.h"
#include "convert/plugin_host_win32.h"
#include "convert/plugin_picture.h"

namespace vrelk {
namespace {

using namespace plugin_channel;

// How long the filters may take over one file, restarts included; then
// the host is ended and the file fails. A filter passed over after a crash
// or a hang does not count against the file.
constexpr ULONGLONG kPluginTimeLimitMs = 20000;
// How long loading one filter, or asking it about a file, may take: then it
// counts as hung and is refused for the rest of the batch.
constexpr ULONGLONG kFilterStepLimitMs = 8000;
// How often a waiting read looks at where the host is.
constexpr DWORD kWatchSliceMs = 100;
// How long an ended host may take to be gone.
constexpr DWORD kEndWaitMs = 5000;

struct HandleClose {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleClose>;

struct ViewRelease {
    void operator()(void* view) const { UnmapViewOfFile(view); }
};
using UniqueView = std::unique_ptr<void, ViewRelease>;

std::wstring programFile()
{
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0)
            return {};
        if (length < name.size()) {
            name.resize(length);
            return name;
        }
        name.resize(name.size() * 2);
    }
}

// A relative plug-in folder belongs to the program, wherever it was started from.
platform::Path resolvePluginFolder(const platform::Path& folder)
{
    return folder.is_relative() ? platform::Path(programFile()).parent_path() / folder : folder;
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

// What a file asks of the host.
struct PluginQuery {
    const platform::Path& folder;
    const std::string& ansiPath;
    const Head& head;
};

// The shared memory and the two events of the host conversation, made
// inheritable so that each host started during the batch receives them.
class HostChannel {
public:
    static std::unique_ptr<HostChannel> create()
    {
        auto channel = std::make_unique<HostChannel>();
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        channel->mapping_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0,
                                                   sizeof(Channel), nullptr));
        channel->requestReady_.reset(CreateEventW(&inherit, FALSE, FALSE, nullptr));
        channel->replyReady_.reset(CreateEventW(&inherit, FALSE, FALSE, nullptr));
        HANDLE self = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self, SYNCHRONIZE, TRUE,
                            0))
            channel->parent_.reset(self);
        if (!channel->mapping_ || !channel->requestReady_ || !channel->replyReady_ || !channel->parent_)
            return nullptr;
        channel->view_.reset(MapViewOfFile(channel->mapping_.get(), FILE_MAP_WRITE, 0, 0, sizeof(Channel)));
        if (!channel->view_)
            return nullptr;
        Channel& shared = channel->shared();
        shared.magic = kMagic;
        shared.requestReady = channel->requestReady_.get();
        shared.replyReady = channel->replyReady_.get();
        shared.parent = channel->parent_.get();
        return channel;
    }

    Channel& shared() { return *static_cast<Channel*>(view_.get()); }
    HANDLE mapping() const { return mapping_.get(); }
    HANDLE requestReady() const { return requestReady_.get(); }
    HANDLE replyReady() const { return replyReady_.get(); }

    void prepare(const PluginQuery& query)
    {
        Channel& channel = shared();
        std::wcscpy(channel.request.folder, query.folder.c_str());
        std::memcpy(channel.request.path, query.ansiPath.c_str(), query.ansiPath.size() + 1);
        std::memcpy(channel.request.head, query.head.data(), query.head.size());
        channel.progress.stage = Stage::idle;
        channel.progress.entriesDone = 0;
        channel.progress.listingDone = false;
        channel.progress.listed = 0;
        channel.progress.candidate = 0;
    }

    // After the host died or hung inside a filter: passes over that filter
    // as if it had refused, or false when the file cannot go on (the filter
    // had already taken the file, or the host stopped before asking any).
    // A hang, or a death while loading, would recur with every file, so the
    // filter is refused for the rest of the batch; a crash in IsSupported
    // may be this file's doing.
    bool skipCulprit(bool hung)
    {
        Progress& progress = shared().progress;
        const bool listing = progress.stage == Stage::listing;
        if (!listing && progress.stage != Stage::asking)
            return false;
        if (listing || hung)
            refuseForBatch(progress.examining);
        ++(listing ? progress.entriesDone : progress.candidate);
        return true;
    }

    // After the file's time ran out with the host ended: a filter that was
    // still decoding would hang the same way on every file it takes, so it
    // is refused for the rest of the batch, as a hang while asking is.
    void refuseStuckDecoder()
    {
        Progress& progress = shared().progress;
        if (progress.stage == Stage::decoding)
            refuseForBatch(progress.examining);
    }

private:
    void refuseForBatch(const wchar_t (&name)[kNameUnits])
    {
        Refusals& refusals = shared().refusals;
        if (refusals.count == kMaxPlugins)
            return;
        wchar_t(&refused)[kNameUnits] = refusals.names[refusals.count++];
        std::memcpy(refused, name, sizeof(name));
        refused[kNameUnits - 1] = L'\0';
    }

    UniqueHandle mapping_;
    UniqueView view_;
    UniqueHandle requestReady_;
    UniqueHandle replyReady_;
    UniqueHandle parent_;
};

struct AnswerError {
    Answer answer;
    CodecError error;
};
// What the read reports when the host gives no picture.
constexpr std::array<AnswerError, 4> kAnswerErrors{{
    {Answer::refused, CodecError::unsupported},
    {Answer::cannotDecode, CodecError::unsupported},
    {Answer::decodeFailed, CodecError::damaged},
    {Answer::noMemory, CodecError::noMemory},
}};

CodecError errorFor(Answer answer)
{
    for (const AnswerError& entry : kAnswerErrors)
        if (entry.answer == answer)
            return entry.error;
    return CodecError::damaged;
}

// The picture of a reply, checked as any filter's answer is; the host's
// mapping is taken over and closed in both processes.
Result<Picture> pictureFromReply(HANDLE host, const Reply& reply)
{
    if (reply.answer != Answer::picture)
        return errorFor(reply.answer);
    const std::uint64_t total = std::uint64_t{reply.infoBytes} + reply.bitsBytes;
    if (!reply.picture)
        return total == 0 ? ImageFromPluginBlocks({}, {}) : Result<Picture>(CodecError::damaged);
    HANDLE local = nullptr;
    if (!DuplicateHandle(host, reply.picture, GetCurrentProcess(), &local, FILE_MAP_READ, FALSE,
                         DUPLICATE_CLOSE_SOURCE))
        return CodecError::noMemory;
    UniqueHandle mapping(local);
    if (total == 0)
        return ImageFromPluginBlocks({}, {});
    if (total > SIZE_MAX)
        return CodecError::noMemory;
    // A view longer than the host's mapping is refused by the system, so
    // the sizes in the reply cannot lead outside it.
    UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(total)));
    if (!view)
        return CodecError::noMemory;
    std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(view.get()), static_cast<std::size_t>(total));
    return ImageFromPluginBlocks(bytes.first(reply.infoBytes), bytes.subspan(reply.infoBytes));
}

// The host process of one batch: started ahead of it or when the first
// file needs a plug-in, replaced after a crash or a hang, ended with the
// batch.
class PluginHost {
public:
    explicit PluginHost(std::unique_ptr<HostChannel> channel) : channel_(std::move(channel)) {}
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;
    // Between files the host holds no filter, so ending it loses nothing.
    ~PluginHost() { end(); }

    // Starts the host on a thread of its own: starting a process takes a
    // good part of a second under Wine, and the converting process has its
    // own start-up to do meanwhile.
    void startAhead()
    {
        if (!process_ && !launcher_)
            launcher_.reset(CreateThread(nullptr, 64 * 1024, launch, this, 0, nullptr));
    }

    Result<Picture> read(const PluginQuery& query)
    {
        awaitLaunch();
        channel_->prepare(query);
        ULONGLONG deadline = GetTickCount64() + kPluginTimeLimitMs;
        for (;;) {
            if (!process_ && !start())
                return CodecError::unsupported;
            const Exchange outcome = exchange(deadline);
            if (outcome == Exchange::answered) {
                servedBefore_ = true;
                return pictureFromReply(process_.get(), channel_->shared().reply);
            }
            if (outcome == Exchange::timedOut) {
                end();
                channel_->refuseStuckDecoder();
                return CodecError::damaged;
            }
            // A host that served earlier files may have been ended by what
            // their filters left running; this file starts over in a fresh
            // one, and only what a fresh host does is blamed on this file.
            const bool inherited = outcome == Exchange::died && servedBefore_;
            end();
            if (inherited)
                channel_->prepare(query);
            else if (!channel_->skipCulprit(outcome == Exchange::filterHung))
                return CodecError::damaged;
            deadline = GetTickCount64() + kPluginTimeLimitMs;
        }
    }

private:
    enum class Exchange { answered, died, filterHung, timedOut };

    // Where the host is: which filter it loads or asks, and since when.
    class StepWatch {
    public:
        // True when one filter has been loading or answering for too long.
        bool hung(Progress& progress, ULONGLONG now)
        {
            const Step step{std::atomic_ref(progress.stage).load(), std::atomic_ref(progress.entriesDone).load(),
                            std::atomic_ref(progress.candidate).load()};
            if (step != step_) {
                step_ = step;
                since_ = now;
            }
            const bool inFilter = step.stage == Stage::listing || step.stage == Stage::asking;
            return inFilter && now - since_ >= kFilterStepLimitMs;
        }

    private:
        struct Step {
            Stage stage = Stage::idle;
            std::uint32_t entriesDone = 0;
            std::uint32_t candidate = 0;
            bool operator==(const Step&) const = default;
        };
        Step step_;
        ULONGLONG since_ = 0;
    };

    static DWORD WINAPI launch(void* host)
    {
        static_cast<PluginHost*>(host)->start();
        return 0;
    }

    // A host started ahead is this object's own once its launch is over.
    void awaitLaunch()
    {
        if (!launcher_)
            return;
        WaitForSingleObject(launcher_.get(), INFINITE);
        launcher_.reset();
    }

    bool start()
    {
        const std::wstring program = programFile();
        std::wstring commandLine = L"\"" + program + L"\" " + kHostSwitch +
                                   std::to_wstring(reinterpret_cast<std::uintptr_t>(channel_->mapping()));
        ResetEvent(channel_->requestReady());
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_FORCEOFFFEEDBACK;
        PROCESS_INFORMATION started{};
        if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &startup, &started))
            return false;
        CloseHandle(started.hThread);
        process_.reset(started.hProcess);
        servedBefore_ = false;
        return true;
    }

    Exchange exchange(ULONGLONG deadline)
    {
        ResetEvent(channel_->replyReady());
        SetEvent(channel_->requestReady());
        const std::array<HANDLE, 2> waits{channel_->replyReady(), process_.get()};
        StepWatch watch;
        for (;;) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline)
                return Exchange::timedOut;
            if (watch.hung(channel_->shared().progress, now))
                return Exchange::filterHung;
            const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kWatchSliceMs));
            switch (WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, slice)) {
            case WAIT_OBJECT_0: return Exchange::answered;
            case WAIT_OBJECT_0 + 1: return Exchange::died;
            case WAIT_TIMEOUT: break;
            default: return Exchange::timedOut;
            }
        }
    }

    // Ends the host whatever it is doing, and waits until it is gone.
    void end()
    {
        awaitLaunch();
        if (!process_)
            return;
        TerminateProcess(process_.get(), 1);
        WaitForSingleObject(process_.get(), kEndWaitMs);
        process_.reset();
    }

    std::unique_ptr<HostChannel> channel_;
    UniqueHandle process_;
    UniqueHandle launcher_;
    bool servedBefore_ = false;  // the running host answered an earlier file
};

std::optional<PluginHost>& batchHost()
{
    static std::optional<PluginHost> host;
    return host;
}

platform::Mutex& hostInUse()
{
    static platform::Mutex mutex;
    return mutex;
}

PluginHost* pluginHost()
{
    std::optional<PluginHost>& host = batchHost();
    if (!host) {
        std::unique_ptr<HostChannel> channel = HostChannel::create();
        if (!channel)
            return nullptr;
        host.emplace(std::move(channel));
    }
    return &*host;
}

bool holdsPluginFiles(const platform::Path& folder)
{
    WIN32_FIND_DATAW entry{};
    HANDLE found = FindFirstFileW((folder / L"*.spi").c_str(), &entry);
    if (found == INVALID_HANDLE_VALUE)
        return false;
    FindClose(found);
    return true;
}

}  // namespace

void StartPluginHostAhead(const ConvertOptions& options)
{
    if (!options.usePlugins || options.pluginFolder.empty())
        return;
    if (!holdsPluginFiles(resolvePluginFolder(options.pluginFolder)))
        return;
    std::lock_guard turn(hostInUse());
    if (PluginHost* host = pluginHost())
        host->startAhead();
}

Result<Picture> ReadWithPlugin(const platform::Path& path, const ConvertOptions& options)
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
    if (!ansiPath || folder.native().size() >= kFolderUnits)
        return CodecError::unsupported;
    // One host serves the batch and speaks with one file at a time: the
    // workers of a parallel batch take turns with it. The time limit counts
    // from a worker's turn, not from its wait.
    std::lock_guard turn(hostInUse());
    PluginHost* host = pluginHost();
    if (!host)
        return CodecError::noMemory;
    return host->read(PluginQuery{folder, *ansiPath, *head});
}

void EndPluginHost()
{
    std::lock_guard turn(hostInUse());
    batchHost().reset();
}

}  // namespace vrelk
