#pragma once

#include <functional>
#include <list>
#include <memory>
#include <set>
#include <thread>

typedef struct _GMainLoop GMainLoop;

namespace qz::platform {

// One GLib main loop on the default main context, so GTK windows and transfers share it.
class EventLoop {
  public:
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Runs until stop(); returns the status given to it. A stop() made before run() makes the
    // next run() return at once.
    int run();
    // Ends the run after the current callback.
    void stop(int status);

    // Calls fn once after the delay (a GLib timeout); returns an id for cancelCall. Calls still
    // pending when the loop is destroyed are dropped.
    unsigned callLater(double seconds, std::function<void()> fn);
    // Does nothing for a call that already ran or was cancelled.
    void cancelCall(unsigned id);

    // Runs `work` on a thread of its own, which gets no signals, so that the loop goes on while
    // it blocks; then calls `done` with its result from the loop. Destroying the loop waits for
    // work still running and drops its `done`.
    void runInBackground(std::function<bool()> work, std::function<void(bool)> done);

  private:
    struct PendingCall;
    struct Worker;
    static int firePendingCall(void* data);
    static int finishWorker(void* data);

    GMainLoop* loop_ = nullptr;
    int status_ = 0;
    bool stopRequested_ = false;
    std::set<unsigned> pendingCalls_;
    std::list<std::shared_ptr<Worker>> workers_;
};

} // namespace qz::platform
