// The OS-neutral parts of the platform layer: which folder names are
// plain, and file handles whose ownership moves with the handle.
#include "platform/platform.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <utility>

namespace vrelk::platform {

namespace {
constexpr std::size_t kMaxNameUnits = 255;
constexpr std::string_view kRefusedInNames = "/\\:*?\"<>|";

bool refusedInName(NativeString::value_type unit)
{
    const auto code = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<NativeString::value_type>>(unit));
    return code < 0x20 || code == 0x7F ||
           (code < 0x80 && kRefusedInNames.find(static_cast<char>(code)) != std::string_view::npos);
}
}  // namespace

bool isPlainFolderName(const NativeString& name)
{
    // "." and ".." end in a dot.
    if (name.empty() || name.size() > kMaxNameUnits || name.back() == '.' || name.back() == ' ')
        return false;
    return std::none_of(name.begin(), name.end(), refusedInName);
}

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
