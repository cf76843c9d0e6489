#include "platform/platform.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <random>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
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
            ::close(fd);
            return candidate;
        }
        if (errno != EEXIST)
            return std::nullopt;
    }
    return std::nullopt;
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

PublishResult publishNoReplace(const Path& staged, const Path& to)
{
    if (!syncToDisk(staged, O_RDONLY))
        return PublishResult::failed;
    PublishResult result = renameNoReplace(staged, to);
    // The new name lasts only once its folder is on the disk too; some file
    // systems cannot sync a folder, and the file is named either way.
    if (result == PublishResult::published)
        syncToDisk(to.parent_path().empty() ? Path(".") : to.parent_path(), O_RDONLY | O_DIRECTORY);
    return result;
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

struct BackgroundWork::Thread {
    std::thread thread;
};

BackgroundWork::BackgroundWork(std::function<void()> work) : thread_(std::make_unique<Thread>())
{
    auto task = std::make_shared<std::function<void()>>(std::move(work));
    try {
        thread_->thread = std::thread([task] { (*task)(); });
    } catch (const std::system_error&) {
        (*task)();
    }
}

BackgroundWork::~BackgroundWork() { join(); }

void BackgroundWork::join()
{
    if (thread_->thread.joinable())
        thread_->thread.join();
}

}  // namespace vrelk::platform
