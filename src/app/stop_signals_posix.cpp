// SIGINT and SIGTERM during a batch of vrelk: the batch stops as the
// Windows program's 中止 button stops it.
#include <signal.h>

#include <array>
#include <csignal>

#include "app/cli_posix.h"

namespace vrelk {
namespace {

static_assert(StopFlag::is_always_lock_free, "the stop flag is set from a signal handler");

struct StopSignal {
    int number;
    std::string_view name;
};

constexpr std::array<StopSignal, 2> kStopSignals{{{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}}};

StopFlag stopRequested{false};
volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int signal)
{
    stopSignal = signal;
    stopRequested.store(true);
}

}  // namespace

StopSignals::StopSignals()
{
    stopRequested.store(false);
    stopSignal = 0;
    struct sigaction action{};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // The handler is spent on its first signal: a second one ends the
    // program at once, as it would have without the handler.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    // A signal ignored when vrelk started (a background job of a script
    // ignores SIGINT) stays ignored.
    for (std::size_t i = 0; i < kStopSignals.size(); ++i)
        installed_[i] = ::sigaction(kStopSignals[i].number, nullptr, &previous_[i]) == 0 &&
                        previous_[i].sa_handler != SIG_IGN &&
                        ::sigaction(kStopSignals[i].number, &action, nullptr) == 0;
}

StopSignals::~StopSignals()
{
    for (std::size_t i = 0; i < kStopSignals.size(); ++i)
        if (installed_[i])
            ::sigaction(kStopSignals[i].number, &previous_[i], nullptr);
}

const StopFlag* StopSignals::flag() const { return &stopRequested; }

int StopSignals::received() const { return stopSignal; }

std::string_view SignalName(int signal)
{
    for (const StopSignal& known : kStopSignals)
        if (known.number == signal)
            return known.name;
    return "a signal";
}

}  // namespace vrelk
