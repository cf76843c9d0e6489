#include "platform/platform.h"
#include "platform/memory_budget.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <array>
#include <bit>
#include <cwchar>
#include <vector>

namespace vrelk::platform {
namespace {

constexpr DWORD kPathUnits = MAX_PATH;

HANDLE asHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

NativeString fromUtf8(std::string_view text)
{
    if (text.empty())
        return {};
    int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), units);
    return result;
}

std::string toUtf8(const NativeString& text)
{
    if (text.empty())
        return {};
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, nullptr);
    std::string result(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), bytes,
                        nullptr, nullptr);
    return result;
}

void* allocatePages(std::size_t size)
{
    if (size == 0)
        return nullptr;
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void freePages(void* pages, std::size_t size)
{
    if (!pages)
        return;
    VirtualFree(pages, size, MEM_DECOMMIT);
    VirtualFree(pages, 0, MEM_RELEASE);
}

std::optional<Path> longPathName(const Path& path)
{
    std::array<wchar_t, kPathUnits> buffer{};
    DWORD units = GetLongPathNameW(path.c_str(), buffer.data(), kPathUnits);
    if (units == 0 || units >= kPathUnits)
        return std::nullopt;
    return Path(buffer.data());
}

bool pathWithinLimits(const Path& path) { return path.native().size() < kPathUnits; }

// The Windows program leaves its hidden staging files to the user: nothing
// there tells a file another copy is about to name from an abandoned one.
std::size_t removeAbandonedStagingFiles(const Path&, std::chrono::seconds) { return 0; }

std::optional<Path> createStagingFile(const Path& folder)
{
    static LONG counter = 0;
    const DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::array<wchar_t, 16> name{};
        const DWORD number = (seed + static_cast<DWORD>(InterlockedIncrement(&counter)) * 7919u) & 0xFFFFFFu;
        std::swprintf(name.data(), name.size(), L"~vk%06lx.tmp", static_cast<unsigned long>(number));
        Path candidate = folder / name.data();
        HANDLE handle = CreateFileW(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
            return candidate;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            return std::nullopt;
    }
    return std::nullopt;
}

bool flushToDisk(const Path& path)
{
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    bool flushed = FlushFileBuffers(handle) != 0;
    return CloseHandle(handle) != 0 && flushed;
}

bool copyFileTimes(const Path& from, const Path& to)
{
    FILETIME created{};
    FILETIME written{};
    HANDLE source = CreateFileW(from.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (source == INVALID_HANDLE_VALUE)
        return false;
    const bool read = GetFileTime(source, &created, nullptr, &written) != 0;
    CloseHandle(source);
    if (!read)
        return false;
    HANDLE target = CreateFileW(to.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (target == INVALID_HANDLE_VALUE)
        return false;
    const bool set = SetFileTime(target, &created, nullptr, &written) != 0;
    return CloseHandle(target) != 0 && set;
}

PublishResult publishNoReplace(const Path& staged, const Path& to)
{
    // Shown again before it is named, so the output is an ordinary file;
    // an unfinished one keeps its "~vk" name.
    if (!SetFileAttributesW(staged.c_str(), FILE_ATTRIBUTE_NORMAL))
        return PublishResult::failed;
    if (MoveFileExW(staged.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH))
        return PublishResult::published;
    DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? PublishResult::targetExists
                                                                       : PublishResult::failed;
}

bool deleteFile(const Path& path) { return DeleteFileW(path.c_str()) != 0; }
bool createFolder(const Path& path) { return CreateDirectoryW(path.c_str(), nullptr) != 0; }
bool removeFolder(const Path& path) { return RemoveDirectoryW(path.c_str()) != 0; }

IoFailure lastIoFailure()
{
    switch (GetLastError()) {
    case ERROR_FILENAME_EXCED_RANGE: return IoFailure::nameTooLong;
    case ERROR_CANT_RESOLVE_FILENAME: return IoFailure::symlinkLoop;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return IoFailure::noSpace;
    default: return IoFailure::other;
    }
}

bool pathExists(const Path& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool folderExists(const Path& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool isRegularFile(const Path& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

// ---- File ------------------------------------------------------------------

File File::openRead(const Path& path)
{
    File file;
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    file.handle_ = reinterpret_cast<std::intptr_t>(handle);
    return file;
}

File File::createWrite(const Path& path)
{
    File file;
    // Opened and cut rather than created afresh: replacing a hidden file
    // (an output being staged) with CREATE_ALWAYS is refused.
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (handle != INVALID_HANDLE_VALUE && !SetEndOfFile(handle)) {
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    file.handle_ = reinterpret_cast<std::intptr_t>(handle);
    return file;
}

bool File::isOpen() const { return asHandle(handle_) != INVALID_HANDLE_VALUE; }

void File::close()
{
    if (isOpen())
        CloseHandle(asHandle(handle_));
    handle_ = -1;
}

std::size_t File::read(std::span<std::uint8_t> buffer)
{
    std::size_t done = 0;
    while (isOpen() && done < buffer.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(buffer.size() - done, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(asHandle(handle_), buffer.data() + done, chunk, &got, nullptr) || got == 0)
            break;
        done += got;
    }
    return done;
}

bool File::skip(std::int64_t count)
{
    LARGE_INTEGER distance{};
    distance.QuadPart = count;
    return isOpen() && SetFilePointerEx(asHandle(handle_), distance, nullptr, FILE_CURRENT);
}

bool File::write(std::span<const std::uint8_t> bytes)
{
    std::size_t done = 0;
    while (isOpen() && done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        DWORD put = 0;
        if (!WriteFile(asHandle(handle_), bytes.data() + done, chunk, &put, nullptr) || put == 0)
            return false;
        done += put;
    }
    return isOpen() && done == bytes.size();
}

std::int64_t File::size() const
{
    LARGE_INTEGER size{};
    if (!isOpen() || !GetFileSizeEx(asHandle(handle_), &size))
        return -1;
    return size.QuadPart;
}

struct BackgroundWork::Thread {
    std::function<void()> work;
    HANDLE handle = nullptr;

    static DWORD WINAPI run(void* self)
    {
        static_cast<Thread*>(self)->work();
        return 0;
    }
};

BackgroundWork::BackgroundWork(std::function<void()> work, IfNoThread ifNoThread)
    : thread_(std::make_unique<Thread>())
{
    thread_->work = std::move(work);
    thread_->handle = CreateThread(nullptr, 0, Thread::run, thread_.get(), 0, nullptr);
    if (!thread_->handle && ifNoThread == IfNoThread::runNow)
        thread_->work();
}

BackgroundWork::~BackgroundWork() { join(); }

bool BackgroundWork::started() const { return thread_->handle != nullptr; }

void BackgroundWork::join()
{
    if (!thread_->handle)
        return;
    WaitForSingleObject(thread_->handle, INFINITE);
    CloseHandle(thread_->handle);
    thread_->handle = nullptr;
}

// A quarter of the address space is left to the program, its libraries and
// the writers' buffers; a machine with little memory gets half of it, as
// natively.
std::uint64_t defaultMemoryBudget()
{
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    constexpr std::uint64_t kUnknownMachine = std::uint64_t{1} << 30;
    if (!GlobalMemoryStatusEx(&status))
        return kUnknownMachine;
    const std::uint64_t addressable = status.ullTotalVirtual / 4 * 3;
    const std::uint64_t halfPhysical = status.ullTotalPhys / 2;
    return addressable < halfPhysical ? addressable : halfPhysical;
}

struct Mutex::State {
    SRWLOCK lock = SRWLOCK_INIT;
};

Mutex::Mutex() : state_(std::make_unique<State>()) {}
Mutex::~Mutex() = default;
void Mutex::lock() { AcquireSRWLockExclusive(&state_->lock); }
void Mutex::unlock() { ReleaseSRWLockExclusive(&state_->lock); }

struct ConditionVariable::State {
    CONDITION_VARIABLE condition = CONDITION_VARIABLE_INIT;
};

ConditionVariable::ConditionVariable() : state_(std::make_unique<State>()) {}
ConditionVariable::~ConditionVariable() = default;

void ConditionVariable::wait(std::unique_lock<Mutex>& lock)
{
    SleepConditionVariableSRW(&state_->condition, &lock.mutex()->state_->lock, INFINITE, 0);
}

void ConditionVariable::notifyOne() { WakeConditionVariable(&state_->condition); }
void ConditionVariable::notifyAll() { WakeAllConditionVariable(&state_->condition); }

unsigned processorCount()
{
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0)
        return static_cast<unsigned>(std::popcount(static_cast<std::uintptr_t>(process)));
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors == 0 ? 1u : static_cast<unsigned>(info.dwNumberOfProcessors);
}

void yieldProcessor() { SwitchToThread(); }

}  // namespace vrelk::platform
