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

}  // namespace vrelk::platform
