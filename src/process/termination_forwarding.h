#pragma once

#include <csignal>
#include <sys/types.h>

namespace qz {

// While an object lives, SIGTERM and SIGHUP no longer end the process: the first one that arrives
// is recorded and each is passed on to the child named by forwardTo, so that the child ends and
// the caller can clean up. A signal that is ignored stays ignored.
class TerminationForwarding {
  public:
    TerminationForwarding();
    ~TerminationForwarding();
    TerminationForwarding(const TerminationForwarding&) = delete;
    TerminationForwarding& operator=(const TerminationForwarding&) = delete;

    // Also passes on a signal that arrived before the child was known.
    void forwardTo(pid_t child);

  private:
    static constexpr int kSignals[] = {SIGTERM, SIGHUP};
    struct sigaction previous_[2]{};
    bool installed_[2]{};
};

// The first SIGTERM or SIGHUP that arrived while forwarding was on, or 0.
int forwardedTerminationSignal();

} // namespace qz
