#pragma once

#include "platform/system/loop_bridge.h"

#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qz::platform {

class CaughtSignals;

// The main loop of the download window and its transfer: `poll` on the descriptors watched,
// delayed calls, signals and work finished off the loop. It needs no toolkit, so a run without
// a display loads none; the GTK window, when loaded, runs it from GLib's main loop instead
// (LoopBridge), so that both share one thread.
class EventLoop : public LoopBridge {
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
    // Waits at most `maxWaitMs` for something to do and does what is due; for tests that drive
    // the loop themselves.
    void iterate(int maxWaitMs);

    // Calls fn once after the delay; returns an id for cancelCall. Calls still pending when the
    // loop is destroyed are dropped. Calls due together run in the order of their time, then of
    // their making.
    unsigned callLater(double seconds, std::function<void()> fn);
    // Does nothing for a call that already ran or was cancelled.
    void cancelCall(unsigned id);

    // Calls fn with the poll events that occurred (POLLIN, POLLOUT, POLLERR, POLLHUP) while `fd`
    // is ready for `events`; returns an id for unwatch.
    unsigned watch(int fd, short events, std::function<void(short revents)> fn);
    void unwatch(unsigned id);

    // Calls fn from the loop when the signal arrives, instead of its default action; the
    // previous disposition comes back when the last watch of the signal goes. Only one loop
    // at a time may watch signals.
    unsigned watchSignal(int signal, std::function<void()> fn);
    void unwatchSignal(unsigned id);

    // Runs `work` on a thread of its own, which gets no signals, so that the loop goes on while
    // it blocks; then calls `done` with its result from the loop, after the watches of signals
    // caught meanwhile. Destroying the loop waits for work still running and drops its `done`.
    void runInBackground(std::function<bool()> work, std::function<void(bool)> done);

    // LoopBridge
    std::size_t pollDescriptors(pollfd* fds, std::size_t capacity) override;
    int pollTimeoutMs() override;
    void dispatch(const pollfd* fds, std::size_t count) override;
    void drivenBy(LoopDriver* driver) override;
    [[noreturn]] void displayLost() override;

  private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        Clock::time_point due;
        std::function<void()> fn;
    };
    struct Watch {
        int fd;
        short events;
        std::function<void(short)> fn;
    };
    struct SignalWatch {
        int signal;
        std::function<void()> fn;
    };
    struct Worker;

    unsigned nextId();
    void runDueTimers();
    void drainWakeUps();
    void drainSignals();
    void finishWorkers();

    int status_ = 0;
    bool stopRequested_ = false;
    bool running_ = false;
    LoopDriver* driver_ = nullptr;
    unsigned lastId_ = 0;
    std::map<unsigned, Timer> timers_;
    std::map<unsigned, Watch> watches_;
    std::map<unsigned, SignalWatch> signalWatches_;
    // Made with the first watch of a signal; each signal caught until its last watch goes.
    std::unique_ptr<CaughtSignals> caught_;
    // Written by finished workers; read by the loop.
    int wakePipe_[2] = {-1, -1};
    unsigned wakeWatch_ = 0;
    unsigned signalWatch_ = 0;
    std::list<std::shared_ptr<Worker>> workers_;
    std::mutex finishedMutex_;
    std::vector<std::shared_ptr<Worker>> finished_;
};

} // namespace qz::platform
