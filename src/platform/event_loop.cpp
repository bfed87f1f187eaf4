#include "platform/event_loop.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <glib.h>
#include <utility>

namespace qz::platform {

struct EventLoop::PendingCall {
    EventLoop* loop;
    unsigned id = 0;
    std::function<void()> fn;
};

struct EventLoop::Worker {
    EventLoop* loop;
    std::thread thread;
    bool result = false;
    guint source = 0;
    std::function<void(bool)> done;
};

EventLoop::EventLoop() : loop_(g_main_loop_new(nullptr, FALSE)) {}

EventLoop::~EventLoop() {
    for (const unsigned id : pendingCalls_) {
        g_source_remove(id);
    }
    for (const auto& worker : workers_) {
        worker->thread.join();
        if (worker->source != 0) {
            g_source_remove(worker->source);
        }
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

namespace qz::platform {

void EventLoop::runInBackground(std::function<bool()> work, std::function<void(bool)> done) {
    auto worker = std::make_shared<Worker>();
    worker->loop = this;
    worker->done = std::move(done);
    workers_.push_back(worker);
    // Signals stay with the main thread, where the loop's signal sources expect them.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    Worker* raw = worker.get();
    worker->thread = std::thread([raw, work = std::move(work)] {
        raw->result = work();
        // g_idle_add is safe from any thread; the source id is written before the loop can
        // dispatch it, since the loop only runs it after the main thread next iterates.
        raw->source = g_idle_add_full(G_PRIORITY_DEFAULT, &EventLoop::finishWorker, raw, nullptr);
    });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

int EventLoop::finishWorker(void* data) {
    auto* raw = static_cast<Worker*>(data);
    EventLoop* loop = raw->loop;
    raw->thread.join();
    const auto it = std::find_if(loop->workers_.begin(), loop->workers_.end(),
                                 [raw](const auto& w) { return w.get() == raw; });
    const std::shared_ptr<Worker> worker = *it;
    loop->workers_.erase(it);
    // Nothing of the loop is touched after done: it may destroy the loop.
    worker->done(worker->result);
    return G_SOURCE_REMOVE;
}

} // namespace qz::platform
