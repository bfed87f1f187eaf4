#pragma once

#include "platform/system/child_processes.h"
#include "platform/system/event_loop.h"

#include <csignal>
#include <functional>
#include <utility>
#include <vector>

namespace qz::platform {

// While active, SIGINT, SIGTERM and SIGHUP (those not ignored) call `close` from the loop
// instead of ending the process, so a window can cancel cleanly.
class CloseOnSignals {
  public:
    CloseOnSignals(EventLoop& loop, std::function<void()> close)
        : loop_(loop), close_(std::move(close)) {
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            // One ignored from the start (nohup) stays ignored, also for the install agent.
            if (signalIgnored(signal)) {
                continue;
            }
            if (const unsigned id = loop_.watchSignal(signal, [this] { close_(); })) {
                watches_.push_back(id);
            }
        }
    }
    ~CloseOnSignals() {
        stop();
    }
    CloseOnSignals(const CloseOnSignals&) = delete;
    CloseOnSignals& operator=(const CloseOnSignals&) = delete;

    void stop() {
        for (const unsigned id : watches_) {
            loop_.unwatchSignal(id);
        }
        watches_.clear();
    }

  private:
    EventLoop& loop_;
    std::function<void()> close_;
    std::vector<unsigned> watches_;
};

} // namespace qz::platform
