// What only the Windows program asks of the system: the version it runs
// on, other windows, and COM for the shortcuts and folder pickers.
#pragma once

#include <string_view>

namespace vrelk::shell {

struct OsVersion {
    unsigned major = 0;
    unsigned minor = 0;
};
OsVersion osVersion();

bool windowOfClassExists(std::string_view className);

// Single-threaded COM apartment for the lifetime of the object.
class ComApartment {
public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool initialised_ = false;
};

}  // namespace vrelk::shell
