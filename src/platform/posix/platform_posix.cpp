#include "platform/platform.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace vrelk::platform {


NativeString fromUtf8(std::string_view text) { return NativeString(text); }
std::string toUtf8(const NativeString& text) { return text; }

void* allocatePages(std::size_t size)
{
    if (size == 0)
        return nullptr;
    void* pages = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
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
    return full.lexically_normal();
}

std::optional<Path> tempFolder()
{
    std::error_code ec;
    Path folder = std::filesystem::temp_directory_path(ec);
    if (ec)
        return std::nullopt;
    return folder;
}

std::optional<Path> createTempFile(const Path& folder)
{
    std::string pattern = (folder / "tmpXXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    int fd = ::mkstemp(buffer.data());
    if (fd < 0)
        return std::nullopt;
    ::close(fd);
    return Path(buffer.data());
}

namespace {

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t count)
{
    while (count > 0) {
        ssize_t put = ::write(fd, bytes, count);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        bytes += put;
        count -= static_cast<std::size_t>(put);
    }
    return true;
}

enum class KernelCopy { done, unsupported, failed };

// Lets the kernel move the bytes, which spares a trip through user memory
// for large outputs; some file system pairs refuse before the first byte.
KernelCopy copyInKernel(int source, int target)
{
    bool started = false;
    for (;;) {
        ssize_t moved = ::copy_file_range(source, nullptr, target, nullptr, std::size_t{1} << 30, 0);
        if (moved > 0) {
            started = true;
            continue;
        }
        if (moved == 0)
            return KernelCopy::done;
        if (errno == EINTR)
            continue;
        bool refused = errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP;
        return refused && !started ? KernelCopy::unsupported : KernelCopy::failed;
    }
}

bool copyThroughBuffer(File& source, int target)
{
    std::vector<std::uint8_t> chunk(std::size_t{1} << 20);
    for (;;) {
        std::size_t got = source.read(chunk);
        if (got == 0)
            return true;
        if (!writeAll(target, chunk.data(), got))
            return false;
    }
}

}  // namespace

CopyResult copyFileNoOverwrite(const Path& from, const Path& to)
{
    File source = File::openRead(from);
    if (!source.isOpen())
        return CopyResult::failed;
    int target = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (target < 0)
        return errno == EEXIST ? CopyResult::targetExists : CopyResult::failed;

    KernelCopy fast = copyInKernel(static_cast<int>(source.nativeHandle()), target);
    bool ok = fast == KernelCopy::done || (fast == KernelCopy::unsupported && copyThroughBuffer(source, target));
    if (::close(target) != 0)
        ok = false;
    if (!ok) {
        ::unlink(to.c_str());
        return CopyResult::failed;
    }
    return CopyResult::copied;
}

bool deleteFile(const Path& path) { return ::unlink(path.c_str()) == 0; }
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

// ---- FileMapping -------------------------------------------------------------

FileMapping FileMapping::map(const File& file)
{
    FileMapping mapping;
    std::int64_t size = file.size();
    if (size <= 0 || static_cast<std::uint64_t>(size) > SIZE_MAX)
        return mapping;
    void* view = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE,
                        static_cast<int>(file.nativeHandle()), 0);
    if (view == MAP_FAILED)
        return mapping;
    mapping.data_ = static_cast<const std::uint8_t*>(view);
    mapping.size_ = static_cast<std::size_t>(size);
    return mapping;
}

void FileMapping::reset()
{
    if (data_)
        ::munmap(const_cast<std::uint8_t*>(data_), size_);
    data_ = nullptr;
    size_ = 0;
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

}  // namespace vrelk::platform
