#include "platform/window/window_throttle.h"

#include "platform/system/event_loop.h"

#include <chrono>
#include <optional>

namespace qz::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Whether `b` differs from `a` in more than its progress.
bool changesMoreThanProgress(const WindowState& a, const WindowState& b) {
    return a.activity != b.activity || a.colour != b.colour || a.cancelEnabled != b.cancelEnabled ||
           a.bar.indeterminate != b.bar.indeterminate || a.bar.animating != b.bar.animating ||
           a.bar.maximum != b.bar.maximum || a.splashImage != b.splashImage;
}

class WindowThrottle : public DownloadWindow {
  public:
    WindowThrottle(EventLoop& loop, std::unique_ptr<DownloadWindow> window, double perSecond)
        : loop_(loop), window_(std::move(window)),
          interval_(std::chrono::duration_cast<Clock::duration>(
              std::chrono::duration<double>(1.0 / perSecond))) {}

    ~WindowThrottle() override {
        cancelTimer();
    }

    WindowThrottle(const WindowThrottle&) = delete;
    WindowThrottle& operator=(const WindowThrottle&) = delete;

    void setDelegate(DownloadWindowDelegate* delegate) override {
        window_->setDelegate(delegate);
    }

    void show(const WindowState& state) override {
        if (asked_ && state == *asked_) {
            return;
        }
        const bool urgent = !asked_ || changesMoreThanProgress(*asked_, state);
        asked_ = state;
        if (urgent) {
            // The progress reached before the change is shown too, such as the last quarter.
            deliverPending();
            deliver(state);
            return;
        }
        pending_ = state;
        if (timer_ != 0) {
            return;
        }
        const Clock::duration wait = lastDelivery_ + interval_ - Clock::now();
        if (wait <= Clock::duration::zero()) {
            deliverPending();
            return;
        }
        timer_ = loop_.callLater(std::chrono::duration<double>(wait).count(), [this] {
            timer_ = 0;
            deliverPending();
        });
    }

    void close() override {
        cancelTimer();
        pending_.reset();
        window_->close();
    }

    bool closableByUser() override {
        return window_->closableByUser();
    }

  private:
    void deliverPending() {
        cancelTimer();
        if (pending_) {
            const WindowState state = std::move(*pending_);
            pending_.reset();
            deliver(state);
        }
    }

    void deliver(const WindowState& state) {
        lastDelivery_ = Clock::now();
        window_->show(state);
    }

    void cancelTimer() {
        if (timer_ != 0) {
            loop_.cancelCall(timer_);
            timer_ = 0;
        }
    }

    EventLoop& loop_;
    std::unique_ptr<DownloadWindow> window_;
    Clock::duration interval_;
    std::optional<WindowState> asked_;   // the last state shown to the throttle
    std::optional<WindowState> pending_; // progress waiting for its turn
    Clock::time_point lastDelivery_;
    unsigned timer_ = 0;
};

} // namespace

std::unique_ptr<DownloadWindow>
makeWindowThrottle(EventLoop& loop, std::unique_ptr<DownloadWindow> window, double perSecond) {
    return std::make_unique<WindowThrottle>(loop, std::move(window), perSecond);
}

} // namespace qz::platform
