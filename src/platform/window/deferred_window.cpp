#include "platform/window/deferred_window.h"

#include "platform/system/close_on_signals.h"
#include "platform/system/event_loop.h"

namespace qz::platform {
namespace {

class DeferredWindow : public DownloadWindow, public DownloadWindowDelegate {
  public:
    DeferredWindow(EventLoop& loop, std::function<std::unique_ptr<DownloadWindow>()> open,
                   double patienceSeconds)
        : loop_(loop), open_(std::move(open)), signals_(loop, [this] { close(); }) {
        patience_ = loop_.callLater(patienceSeconds, [this] {
            patience_ = 0;
            materialise();
        });
    }

    ~DeferredWindow() override {
        removeSources();
        if (real_) {
            real_->setDelegate(nullptr);
        }
    }

    DeferredWindow(const DeferredWindow&) = delete;
    DeferredWindow& operator=(const DeferredWindow&) = delete;

    void setDelegate(DownloadWindowDelegate* delegate) override {
        delegate_ = delegate;
    }

    void show(const WindowState& state) override {
        state_ = state;
        if (real_) {
            real_->show(state);
        } else if (state.activity != Activity::Starting || !state.status.empty()) {
            materialise();
        }
    }

    bool closableByUser() override {
        materialise();
        return real_ == nullptr || real_->closableByUser();
    }

    void close() override {
        if (closed_) {
            return;
        }
        if (real_) {
            real_->close(); // comes back through windowWillClose
            return;
        }
        windowWillClose();
    }

    void windowWillClose() override {
        if (closed_) {
            return;
        }
        closed_ = true;
        removeSources();
        if (delegate_ != nullptr) {
            delegate_->windowWillClose();
        }
    }

  private:
    void removeSources() {
        signals_.stop();
        cancelPatience();
    }

    void cancelPatience() {
        if (patience_ != 0) {
            loop_.cancelCall(patience_);
            patience_ = 0;
        }
    }

    // Opens the real window and shows it the last state asked for.
    void materialise() {
        if (real_ || closed_) {
            return;
        }
        // Signals are answered here until the window closes, whichever window is open: the GTK
        // window leaves them to the loop that owns them.
        cancelPatience();
        real_ = open_();
        real_->setDelegate(this);
        real_->show(state_);
    }

    EventLoop& loop_;
    std::function<std::unique_ptr<DownloadWindow>()> open_;
    std::unique_ptr<DownloadWindow> real_;
    DownloadWindowDelegate* delegate_ = nullptr;
    CloseOnSignals signals_;
    unsigned patience_ = 0;
    bool closed_ = false;
    WindowState state_;
};

} // namespace

std::unique_ptr<DownloadWindow>
makeDeferredWindow(EventLoop& loop, std::function<std::unique_ptr<DownloadWindow>()> open,
                   double patienceSeconds) {
    return std::make_unique<DeferredWindow>(loop, std::move(open), patienceSeconds);
}

} // namespace qz::platform
