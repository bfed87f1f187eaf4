#include "platform/event_loop.h"

#include <algorithm>
#include <cmath>
#include <glib.h>
#include <utility>

namespace qz::platform {

struct EventLoop::PendingCall {
    EventLoop* loop;
    unsigned id = 0;
    std::function<void()> fn;
};

EventLoop::EventLoop() : loop_(g_main_loop_new(nullptr, FALSE)) {}

EventLoop::~EventLoop() {
    for (const unsigned id : pendingCalls_) {
        g_source_remove(id);
    }
    g_main_loop_unref(loop_);
}

int EventLoop::run() {
    if (!stopRequested_) {
        g_main_loop_run(loop_);
    }
    stopRequested_ = false;
    return status_;
}

void EventLoop::stop(int status) {
    status_ = status;
    if (g_main_loop_is_running(loop_)) {
        g_main_loop_quit(loop_);
    } else {
        // g_main_loop_run forgets a quit made before it starts.
        stopRequested_ = true;
    }
}

int EventLoop::firePendingCall(void* data) {
    auto* call = static_cast<PendingCall*>(data);
    call->loop->pendingCalls_.erase(call->id);
    // Nothing of the loop is touched after fn: it may destroy the loop.
    call->fn();
    return G_SOURCE_REMOVE;
}

unsigned EventLoop::callLater(double seconds, std::function<void()> fn) {
    const double ms = std::isfinite(seconds) && seconds > 0 ? std::round(seconds * 1000.0) : 0.0;
    auto* call = new PendingCall{this, 0, std::move(fn)};
    const unsigned id = g_timeout_add_full(
        G_PRIORITY_DEFAULT, static_cast<guint>(std::min(ms, 4.0e9)), &EventLoop::firePendingCall,
        call, [](gpointer data) { delete static_cast<PendingCall*>(data); });
    call->id = id;
    pendingCalls_.insert(id);
    return id;
}

void EventLoop::cancelCall(unsigned id) {
    if (pendingCalls_.erase(id) != 0) {
        g_source_remove(id);
    }
}

} // namespace qz::platform
