// The OS-neutral parts of the file handles: ownership moves with the handle.
#include "platform/platform.h"

#include <utility>

namespace vrelk::platform {

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

File& File::operator=(File&& other) noexcept
{
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
}

File::~File() { close(); }

FileMapping::FileMapping(FileMapping&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mappingHandle_(std::exchange(other.mappingHandle_, 0))
{
}

FileMapping& FileMapping::operator=(FileMapping&& other) noexcept
{
    if (this != &other) {
        reset();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mappingHandle_ = std::exchange(other.mappingHandle_, 0);
    }
    return *this;
}

FileMapping::~FileMapping() { reset(); }

}  // namespace vrelk::platform
