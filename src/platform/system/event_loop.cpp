#include "platform/system/event_loop.h"

#include "platform/system/abrupt_ending.h"

#include "platform/system/child_processes.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace qz::platform {
namespace {

void closeBoth(int (&fds)[2]) {
    for (int& fd : fds) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
}

// Reads whatever is waiting in a non-blocking pipe.
std::vector<unsigned char> drain(int fd) {
    std::vector<unsigned char> bytes;
    unsigned char buffer[64];
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
        bytes.insert(bytes.end(), buffer, buffer + std::max<ssize_t>(got, 0));
    }
    return bytes;
}

} // namespace

struct EventLoop::Worker {
    std::thread thread;
    bool result = false;
    std::function<void(bool)> done;
};

EventLoop::EventLoop() {
    if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeWatch_ = watch(wakePipe_[0], POLLIN, [this](short) {
            drain(wakePipe_[0]);
            // A signal caught before the work ended is heard before its result is.
            if (caught_) {
                drainSignals();
            }
            finishWorkers();
        });
    }
}

EventLoop::~EventLoop() {
    caught_.reset();
    for (const auto& worker : workers_) {
        worker->thread.join();
    }
    closeBoth(wakePipe_);
}

unsigned EventLoop::nextId() {
    if (++lastId_ == 0) {
        ++lastId_;
    }
    return lastId_;
}

int EventLoop::run() {
    running_ = true;
    while (!stopRequested_) {
        if (driver_ != nullptr) {
            driver_->run(); // until stop() quits it, or it lets go of the loop
        } else {
            iterate(-1);
        }
    }
    running_ = false;
    stopRequested_ = false;
    return status_;
}

void EventLoop::stop(int status) {
    status_ = status;
    stopRequested_ = true;
    if (driver_ != nullptr) {
        driver_->quit();
    }
}

void EventLoop::iterate(int maxWaitMs) {
    std::vector<pollfd> fds(watches_.size());
    fds.resize(pollDescriptors(fds.data(), fds.size()));
    int timeout = pollTimeoutMs();
    if (maxWaitMs >= 0 && (timeout < 0 || timeout > maxWaitMs)) {
        timeout = maxWaitMs;
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0) {
        // EINTR: the handler has written the signal down; it is read on the next round.
        fds.clear();
    }
    dispatch(fds.data(), fds.size());
}

std::size_t EventLoop::pollDescriptors(pollfd* fds, std::size_t capacity) {
    std::size_t count = 0;
    for (const auto& [id, watch] : watches_) {
        if (count < capacity) {
            fds[count] = pollfd{watch.fd, watch.events, 0};
        }
        ++count;
    }
    return count;
}

int EventLoop::pollTimeoutMs() {
    if (timers_.empty()) {
        return -1;
    }
    const auto next = std::min_element(timers_.begin(), timers_.end(), [](auto& a, auto& b) {
                          return a.second.due < b.second.due;
                      })->second.due;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(wait)>(wait, 0, INT_MAX));
}

void EventLoop::dispatch(const pollfd* fds, std::size_t count) {
    runDueTimers();
    for (std::size_t i = 0; i < count && !(running_ && stopRequested_); ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        // By id, as a watch may be removed, or the descriptor watched anew, by an earlier call.
        std::vector<unsigned> ready;
        for (const auto& [id, watch] : watches_) {
            if (watch.fd == fds[i].fd) {
                ready.push_back(id);
            }
        }
        for (const unsigned id : ready) {
            const auto it = watches_.find(id);
            if (it == watches_.end() || (running_ && stopRequested_)) {
                continue;
            }
            const short revents =
                fds[i].revents & (it->second.events | POLLERR | POLLHUP | POLLNVAL);
            if (revents != 0) {
                const auto fn = it->second.fn; // the watch may go while it runs
                fn(revents);
            }
        }
    }
}

void EventLoop::displayLost() {
    endAbruptly();
}

void EventLoop::drivenBy(LoopDriver* driver) {
    driver_ = driver;
}

void EventLoop::runDueTimers() {
    // Only those due now: a call made from one of them waits for the next round.
    const auto now = Clock::now();
    std::vector<std::pair<Clock::time_point, unsigned>> due;
    for (const auto& [id, timer] : timers_) {
        if (timer.due <= now) {
            due.emplace_back(timer.due, id);
        }
    }
    std::sort(due.begin(), due.end());
    for (const auto& [time, id] : due) {
        const auto it = timers_.find(id);
        if (it == timers_.end()) {
            continue;
        }
        const std::function<void()> fn = std::move(it->second.fn);
        timers_.erase(it);
        fn();
        if (running_ && stopRequested_) {
            return;
        }
    }
}

unsigned EventLoop::callLater(double seconds, std::function<void()> fn) {
    const double delay = std::isfinite(seconds) && seconds > 0 ? std::min(seconds, 4.0e6) : 0.0;
    const unsigned id = nextId();
    timers_[id] = Timer{Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(delay)),
                        std::move(fn)};
    return id;
}

void EventLoop::cancelCall(unsigned id) {
    timers_.erase(id);
}

unsigned EventLoop::watch(int fd, short events, std::function<void(short revents)> fn) {
    const unsigned id = nextId();
    watches_[id] = Watch{fd, events, std::move(fn)};
    return id;
}

void EventLoop::unwatch(unsigned id) {
    watches_.erase(id);
}

unsigned EventLoop::watchSignal(int signal, std::function<void()> fn) {
    if (!caught_) {
        auto made = std::make_unique<CaughtSignals>();
        if (made->readEnd() < 0) {
            return 0;
        }
        caught_ = std::move(made);
        signalWatch_ = watch(caught_->readEnd(), POLLIN, [this](short) { drainSignals(); });
    }
    if (!caught_->catchSignal(signal)) {
        return 0;
    }
    const unsigned id = nextId();
    signalWatches_[id] = SignalWatch{signal, std::move(fn)};
    return id;
}

void EventLoop::unwatchSignal(unsigned id) {
    const auto it = signalWatches_.find(id);
    if (it == signalWatches_.end()) {
        return;
    }
    const int signal = it->second.signal;
    signalWatches_.erase(it);
    const bool stillWatched = std::any_of(signalWatches_.begin(), signalWatches_.end(),
                                          [signal](auto& w) { return w.second.signal == signal; });
    if (!stillWatched) {
        caught_->release(signal);
    }
}

void EventLoop::drainSignals() {
    for (const int signal : caught_->take()) {
        std::vector<unsigned> ids;
        for (const auto& [id, watch] : signalWatches_) {
            if (watch.signal == signal) {
                ids.push_back(id);
            }
        }
        for (const unsigned id : ids) {
            if (const auto it = signalWatches_.find(id); it != signalWatches_.end()) {
                const auto fn = it->second.fn;
                fn();
            }
        }
    }
}

void EventLoop::runInBackground(std::function<bool()> work, std::function<void(bool)> done) {
    auto worker = std::make_shared<Worker>();
    worker->done = std::move(done);
    workers_.push_back(worker);
    const SignalsBlocked blocked;
    worker->thread = std::thread([this, worker, work = std::move(work)] {
        worker->result = work();
        {
            const std::lock_guard lock(finishedMutex_);
            finished_.push_back(worker);
        }
        const unsigned char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakePipe_[1], &byte, 1);
    });
}

void EventLoop::finishWorkers() {
    std::vector<std::shared_ptr<Worker>> finished;
    {
        const std::lock_guard lock(finishedMutex_);
        finished.swap(finished_);
    }
    for (const auto& worker : finished) {
        worker->thread.join();
        workers_.remove(worker);
        worker->done(worker->result);
    }
}

} // namespace qz::platform
