#pragma once

#include <functional>
#include <set>

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

  private:
    struct PendingCall;
    static int firePendingCall(void* data);

    GMainLoop* loop_ = nullptr;
    int status_ = 0;
    bool stopRequested_ = false;
    std::set<unsigned> pendingCalls_;
};

} // namespace qz::platform
