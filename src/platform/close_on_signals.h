#pragma once

#include <csignal>
#include <functional>
#include <glib-unix.h>
#include <utility>
#include <vector>

namespace qz::platform {

// While active, SIGINT, SIGTERM and SIGHUP (those not ignored) call `close` from the main loop
// instead of ending the process, so a window can cancel cleanly. Header-only: the GTK module uses
// it too.
class CloseOnSignals {
  public:
    CloseOnSignals() = default;
    explicit CloseOnSignals(std::function<void()> close) : close_(std::move(close)) {
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            // One ignored from the start (nohup) stays ignored, also for the install agent: GLib
            // would leave it at the default action afterwards.
            struct sigaction current {};
            if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
                continue;
            }
            sources_.push_back(g_unix_signal_add(signal, &CloseOnSignals::onSignal, this));
        }
    }
    ~CloseOnSignals() {
        stop();
    }
    CloseOnSignals(const CloseOnSignals&) = delete;
    CloseOnSignals& operator=(const CloseOnSignals&) = delete;

    void stop() {
        for (guint id : sources_) {
            g_source_remove(id);
        }
        sources_.clear();
    }

  private:
    static gboolean onSignal(gpointer self) {
        static_cast<CloseOnSignals*>(self)->close_();
        return G_SOURCE_CONTINUE;
    }

    std::function<void()> close_;
    std::vector<guint> sources_;
};

} // namespace qz::platform
