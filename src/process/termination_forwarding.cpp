#include "process/termination_forwarding.h"

#include <atomic>

namespace qz {
namespace {

// Shared with the handler, which may run on any thread: lock-free atomics are signal-safe and,
// unlike volatile, also ordered between threads.
std::atomic<int> received{0};
std::atomic<pid_t> child{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free);

extern "C" void forward(int signal) {
    int none = 0;
    received.compare_exchange_strong(none, signal);
    const pid_t target = child.load();
    if (target > 0) {
        ::kill(target, signal);
    }
}

} // namespace

TerminationForwarding::TerminationForwarding() {
    struct sigaction action {};
    action.sa_handler = forward;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 2; ++i) {
        if (::sigaction(kSignals[i], nullptr, &previous_[i]) != 0 ||
            previous_[i].sa_handler == SIG_IGN) {
            continue;
        }
        installed_[i] = ::sigaction(kSignals[i], &action, nullptr) == 0;
    }
}

TerminationForwarding::~TerminationForwarding() {
    child.store(0);
    for (int i = 0; i < 2; ++i) {
        if (installed_[i]) {
            ::sigaction(kSignals[i], &previous_[i], nullptr);
        }
    }
}

void TerminationForwarding::forwardTo(pid_t target) {
    child.store(target);
    // The handler may have run before the child was known; a second kill is harmless.
    if (const int signal = received.load()) {
        ::kill(target, signal);
    }
}

int forwardedTerminationSignal() {
    return received.load();
}

} // namespace qz
