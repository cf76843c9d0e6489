#include "platform/platform.h"
#include "platform/memory_budget.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <mutex>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace vrelk::platform {


NativeString fromUtf8(std::string_view text) { return NativeString(text); }
std::string toUtf8(const NativeString& text) { return text; }

// A picture-sized block faults in far fewer times in 2 MiB pages.
constexpr std::size_t kHugePageWorth = std::size_t{8} << 20;

void* allocatePages(std::size_t size)
{
    if (size == 0)
        return nullptr;
    void* pages = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED)
        return nullptr;
    if (size >= kHugePageWorth)
        ::madvise(pages, size, MADV_HUGEPAGE);
    return pages;
}

void freePages(void* pages, std::size_t size)
{
    if (pages)
        ::munmap(pages, size);
}


std::optional<Path> longPathName(const Path& path)
{
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        return std::nullopt;
    Path full = std::filesystem::absolute(path, ec);
    if (ec)
        return std::nullopt;
    // Only "." goes: "link/.." is the parent of the link's target, which a
    // lexical fold would turn into the folder that holds the link.
    Path kept;
    for (const Path& part : full)
        if (part != ".")
            kept /= part;
    return kept;
}

bool pathWithinLimits(const Path& path)
{
    if (path.native().size() >= PATH_MAX)
        return false;
    for (const Path& part : path)
        if (part.native().size() > NAME_MAX)
            return false;
    return true;
}

namespace {

constexpr std::string_view kStagingPrefix = ".vrelk-";
constexpr std::string_view kStagingSuffix = ".tmp";

// Each staging file of this process stays locked (flock, exclusive) from
// its creation until it is named or deleted, through a descriptor kept
// here: the writers open the file by its name. The kernel drops the lock
// when the process ends, however it ends, so a staging file nobody holds
// is one that no running program will name.
class StagingLocks {
public:
    void hold(const Path& path, int fd)
    {
        std::lock_guard lock(mutex_);
        held_.emplace_back(path.native(), fd);
    }
    void release(const Path& path)
    {
        std::lock_guard lock(mutex_);
        auto found = std::find_if(held_.begin(), held_.end(),
                                  [&](const auto& entry) { return entry.first == path.native(); });
        if (found == held_.end())
            return;
        ::close(found->second);
        held_.erase(found);
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, int>> held_;
};

StagingLocks& stagingLocks()
{
    static StagingLocks locks;
    return locks;
}

bool isStagingName(std::string_view name)
{
    return name.size() > kStagingPrefix.size() + kStagingSuffix.size() && name.starts_with(kStagingPrefix) &&
           name.ends_with(kStagingSuffix);
}

// Removes the staging file `name` in the open folder when it is a regular
// file last written before `writtenBefore` that no process holds.
bool removeIfAbandoned(int folder, const char* name, std::time_t writtenBefore)
{
    struct stat seen{};
    if (::fstatat(folder, name, &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode) ||
        seen.st_mtime >= writtenBefore)
        return false;
    int fd = ::openat(folder, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat opened{};
    bool removed = false;
    // The name must still be the file that was locked, not a new one.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &opened) == 0 &&
        ::fstatat(folder, name, &seen, AT_SYMLINK_NOFOLLOW) == 0 && opened.st_ino == seen.st_ino &&
        opened.st_dev == seen.st_dev)
        removed = ::unlinkat(folder, name, 0) == 0;
    ::close(fd);
    return removed;
}

}  // namespace

std::optional<Path> createStagingFile(const Path& folder)
{
    // Made by hand rather than by mkstemp, whose files only their owner may
    // read: the output keeps the permissions the umask gives a new file.
    static std::atomic<unsigned> counter{0};
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, ".vrelk-%08x%04x.tmp", entropy(), counter++ & 0xFFFFu);
        Path candidate = folder / name;
        int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            // Waits for the lock: a run looking for abandoned files may hold
            // it for a moment, and a file left unlocked would stay so. Where
            // the file system has no locks the file goes unlocked, and no
            // other run can take it for abandoned either.
            while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
            }
            stagingLocks().hold(candidate, fd);
            return candidate;
        }
        if (errno != EEXIST)
            return std::nullopt;
    }
    return std::nullopt;
}

std::size_t removeAbandonedStagingFiles(const Path& folder, std::chrono::seconds minimumAge)
{
    DIR* listing = ::opendir(folder.c_str());
    if (!listing)
        return 0;
    const std::time_t writtenBefore = std::time(nullptr) - static_cast<std::time_t>(minimumAge.count());
    std::size_t removed = 0;
    while (const dirent* entry = ::readdir(listing))
        if (isStagingName(entry->d_name))
            removed += removeIfAbandoned(::dirfd(listing), entry->d_name, writtenBefore) ? 1 : 0;
    ::closedir(listing);
    return removed;
}

namespace {

bool syncToDisk(const Path& path, int flags)
{
    int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

// Names `staged` as `to` unless `to` exists. File systems without the
// no-replace rename still refuse a hard link onto an existing name.
PublishResult renameNoReplace(const Path& staged, const Path& to)
{
    if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return PublishResult::published;
    if (errno == EEXIST)
        return PublishResult::targetExists;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return PublishResult::failed;
    if (::link(staged.c_str(), to.c_str()) != 0)
        return errno == EEXIST ? PublishResult::targetExists : PublishResult::failed;
    ::unlink(staged.c_str());
    return PublishResult::published;
}

}  // namespace

bool flushToDisk(const Path& path) { return syncToDisk(path, O_RDONLY); }

bool copyFileTimes(const Path& from, const Path& to)
{
    struct stat source{};
    if (::stat(from.c_str(), &source) != 0)
        return false;
    const struct timespec times[2] = {{0, UTIME_OMIT}, source.st_mtim};
    return ::utimensat(AT_FDCWD, to.c_str(), times, 0) == 0;
}

PublishResult publishNoReplace(const Path& staged, const Path& to)
{
    PublishResult result = renameNoReplace(staged, to);
    if (result != PublishResult::published)
        return result;
    stagingLocks().release(staged);
    // The new name lasts only once its folder is on the disk too; some file
    // systems cannot sync a folder, and the file is named either way.
    syncToDisk(to.parent_path().empty() ? Path(".") : to.parent_path(), O_RDONLY | O_DIRECTORY);
    return result;
}

IoFailure lastIoFailure()
{
    switch (errno) {
    case ENAMETOOLONG: return IoFailure::nameTooLong;
    case ELOOP: return IoFailure::symlinkLoop;
    case ENOSPC:
    case EDQUOT: return IoFailure::noSpace;
    default: return IoFailure::other;
    }
}

bool deleteFile(const Path& path)
{
    const bool deleted = ::unlink(path.c_str()) == 0;
    stagingLocks().release(path);
    return deleted;
}
bool createFolder(const Path& path) { return ::mkdir(path.c_str(), 0777) == 0; }
bool removeFolder(const Path& path) { return ::rmdir(path.c_str()) == 0; }

bool pathExists(const Path& path)
{
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0;
}

bool folderExists(const Path& path)
{
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isRegularFile(const Path& path)
{
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// ---- File ------------------------------------------------------------------

File File::openRead(const Path& path)
{
    File file;
    // Without O_NONBLOCK, opening a FIFO waits for a writer that may never
    // come; the descriptor is only kept for a regular file, where the flag
    // changes nothing.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        struct stat info{};
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(fd);
            return file;
        }
        file.handle_ = fd;
    }
    return file;
}

File File::createWrite(const Path& path)
{
    File file;
    file.handle_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return file;
}

bool File::isOpen() const { return handle_ >= 0; }

void File::close()
{
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
    handle_ = -1;
}

std::size_t File::read(std::span<std::uint8_t> buffer)
{
    std::size_t done = 0;
    while (isOpen() && done < buffer.size()) {
        ssize_t got = ::read(static_cast<int>(handle_), buffer.data() + done, buffer.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

bool File::skip(std::int64_t count)
{
    return isOpen() && ::lseek(static_cast<int>(handle_), count, SEEK_CUR) >= 0;
}

bool File::write(std::span<const std::uint8_t> bytes)
{
    std::size_t done = 0;
    while (isOpen() && done < bytes.size()) {
        ssize_t put = ::write(static_cast<int>(handle_), bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<std::size_t>(put);
    }
    return isOpen() && done == bytes.size();
}

std::int64_t File::size() const
{
    struct stat info{};
    if (!isOpen() || ::fstat(static_cast<int>(handle_), &info) != 0)
        return -1;
    return info.st_size;
}

struct BackgroundWork::Thread {
    std::thread thread;
};

BackgroundWork::BackgroundWork(std::function<void()> work, IfNoThread ifNoThread)
    : thread_(std::make_unique<Thread>())
{
    auto task = std::make_shared<std::function<void()>>(std::move(work));
    try {
        thread_->thread = std::thread([task] { (*task)(); });
    } catch (const std::system_error&) {
        if (ifNoThread == IfNoThread::runNow)
            (*task)();
    }
}

BackgroundWork::~BackgroundWork() { join(); }

bool BackgroundWork::started() const { return thread_->thread.joinable(); }

void BackgroundWork::join()
{
    if (thread_->thread.joinable())
        thread_->thread.join();
}

std::uint64_t defaultMemoryBudget()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    constexpr std::uint64_t kUnknownMachine = std::uint64_t{1} << 31;
    if (pages <= 0 || pageSize <= 0)
        return kUnknownMachine;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize) / 2;
}

struct Mutex::State {
    std::mutex mutex;
};

Mutex::Mutex() : state_(std::make_unique<State>()) {}
Mutex::~Mutex() = default;
void Mutex::lock() { state_->mutex.lock(); }
void Mutex::unlock() { state_->mutex.unlock(); }

struct ConditionVariable::State {
    std::condition_variable_any condition;
};

ConditionVariable::ConditionVariable() : state_(std::make_unique<State>()) {}
ConditionVariable::~ConditionVariable() = default;
void ConditionVariable::wait(std::unique_lock<Mutex>& lock) { state_->condition.wait(lock); }
void ConditionVariable::notifyOne() { state_->condition.notify_one(); }
void ConditionVariable::notifyAll() { state_->condition.notify_all(); }

unsigned processorCount()
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof(allowed), &allowed) == 0 && CPU_COUNT(&allowed) > 0)
        return static_cast<unsigned>(CPU_COUNT(&allowed));
    return std::max(1u, std::thread::hardware_concurrency());
}

void yieldProcessor() { sched_yield(); }

}  // namespace vrelk::platform
