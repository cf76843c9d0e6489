// A lock with a condition to wait on. The Windows toolchain's threads model
// has no std::mutex, so each OS builds it from its own primitives.
#pragma once

#include <memory>

namespace vrelk::platform {

class Monitor {
public:
    Monitor();
    ~Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    void lock();
    void unlock();
    // Called locked: unlocks, sleeps until wakeAll (or spuriously), locks again.
    void wait();
    void wakeAll();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Holds a monitor locked for a scope.
class MonitorLock {
public:
    explicit MonitorLock(Monitor& monitor) : monitor_(monitor) { monitor_.lock(); }
    ~MonitorLock() { monitor_.unlock(); }
    MonitorLock(const MonitorLock&) = delete;
    MonitorLock& operator=(const MonitorLock&) = delete;

private:
    Monitor& monitor_;
};

}  // namespace vrelk::platform
