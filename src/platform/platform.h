// The thin OS layer of the engine: files, folders and pixel memory.
// posix/ and win32/ implement it; the shell's own OS calls (settings
// files, messages, windows) live in app/shell_os.h.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vrelk::platform {

using Path = std::filesystem::path;
// Wide on Windows, UTF-8 on Linux: the string type paths are made of.
using NativeString = Path::string_type;

NativeString fromUtf8(std::string_view text);
std::string toUtf8(const NativeString& text);

// Zero-filled pages for pixel buffers; null on failure.
void* allocatePages(std::size_t size);
void freePages(void* pages, std::size_t size);

// Long form of an existing path; nullopt when it cannot be formed. It names
// the file the OS path names: nothing is folded across a symbolic link.
std::optional<Path> longPathName(const Path& path);

// Within what the OS takes: 259 UTF-16 units on Windows; on Linux a name of
// at most NAME_MAX bytes in a path shorter than PATH_MAX.
bool pathWithinLimits(const Path& path);

// One folder name that stays where it is made on every system the settings
// are shared with: not empty, not "." or "..", no separator, drive colon,
// wildcard or control character, no trailing dot or space (Windows drops
// them, so ".. " would climb), at most 255 units.
bool isPlainFolderName(const NativeString& name);

// Creates an empty file under a new hidden name of its own in `folder`
// (".vrelk-*.tmp"; on Windows "~vk*.tmp" with the hidden attribute). An output is written there and only then named: a file that
// an interrupted run leaves behind is recognisably unfinished.
std::optional<Path> createStagingFile(const Path& folder);

// Removes the staging files in `folder` that runs killed outright left
// behind: those last written more than `minimumAge` ago that no running
// program still holds. Returns how many went.
std::size_t removeAbandonedStagingFiles(const Path& folder, std::chrono::seconds minimumAge);

// Writes the file's data through to the disk.
bool flushToDisk(const Path& path);

// Gives `to` the modification time of `from`, and on Windows its creation
// time too; the access time is left alone.
bool copyFileTimes(const Path& from, const Path& to);

enum class PublishResult { published, targetExists, failed };
// Gives the finished file at `staged`, flushed by flushToDisk, the name
// `to` in the same folder. An existing `to` is never replaced, not even by
// a file another program creates at the same moment; on targetExists the
// staged file stays for another name.
PublishResult publishNoReplace(const Path& staged, const Path& to);

// Why the last file call of this thread failed, where the program says
// more than that it failed.
enum class IoFailure { other, nameTooLong, symlinkLoop, noSpace };
IoFailure lastIoFailure();

bool deleteFile(const Path& path);
bool createFolder(const Path& path);
bool removeFolder(const Path& path);
bool pathExists(const Path& path);
bool folderExists(const Path& path);
// An ordinary file: not a folder, a FIFO, a socket or a device.
bool isRegularFile(const Path& path);

// An open file handle; closes itself.
class File {
public:
    File() = default;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File();

    static File openRead(const Path& path);     // shared read, existing regular file
    static File createWrite(const Path& path);  // create or truncate, no sharing

    bool isOpen() const;
    void close();
    // Bytes read; 0 at end of file or on error.
    std::size_t read(std::span<std::uint8_t> buffer);
    bool skip(std::int64_t count);
    // True only when every byte was written.
    bool write(std::span<const std::uint8_t> bytes);
    std::int64_t size() const;  // -1 when unknown
    std::intptr_t nativeHandle() const { return handle_; }

private:
    std::intptr_t handle_ = -1;
};

// Work running on a thread of its own. join() waits for it to end, and so
// does the destructor. When no thread can be started the work runs at once,
// inside the constructor, so callers never need a second way; a caller that
// has one (a pool that can do with fewer workers) asks for `skip` and looks
// at started().
class BackgroundWork {
public:
    enum class IfNoThread { runNow, skip };

    explicit BackgroundWork(std::function<void()> work, IfNoThread ifNoThread = IfNoThread::runNow);
    BackgroundWork(const BackgroundWork&) = delete;
    BackgroundWork& operator=(const BackgroundWork&) = delete;
    ~BackgroundWork();

    bool started() const;
    void join();

private:
    struct Thread;
    std::unique_ptr<Thread> thread_;
};

// A lock for data that threads share; std::lock_guard and std::unique_lock
// take it. The Windows toolchain's standard library has no std::mutex.
class Mutex {
public:
    Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    ~Mutex();

    void lock();
    void unlock();

private:
    friend class ConditionVariable;
    struct State;
    std::unique_ptr<State> state_;
};

// Lets a thread holding a Mutex sleep until another one reports a change.
class ConditionVariable {
public:
    ConditionVariable();
    ConditionVariable(const ConditionVariable&) = delete;
    ConditionVariable& operator=(const ConditionVariable&) = delete;
    ~ConditionVariable();

    // Releases the lock while asleep; may wake without a notification.
    void wait(std::unique_lock<Mutex>& lock);
    template <typename Predicate>
    void wait(std::unique_lock<Mutex>& lock, Predicate done)
    {
        while (!done())
            wait(lock);
    }
    void notifyOne();
    void notifyAll();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Processors this process may run on; at least 1.
unsigned processorCount();

// Gives the rest of the calling thread's time slice to another thread
// ready to run, for a wait on another thread's progress.
void yieldProcessor();

}  // namespace vrelk::platform
