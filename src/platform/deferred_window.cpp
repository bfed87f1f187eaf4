#include "platform/deferred_window.h"

#include "platform/close_on_signals.h"
#include "platform/event_loop.h"

#include <optional>
#include <string>

namespace qz::platform {
namespace {

class DeferredWindow : public DownloadWindow, public DownloadWindowDelegate {
  public:
    DeferredWindow(EventLoop& loop, std::function<std::unique_ptr<DownloadWindow>()> open,
                   double patienceSeconds)
        : loop_(loop), open_(std::move(open)), signals_([this] { close(); }) {
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

    void setDelegate(DownloadWindowDelegate* delegate) override {
        delegate_ = delegate;
    }

    void setStatusText(const std::string& text) override {
        status_ = text;
        if (real_) {
            real_->setStatusText(text);
        } else if (!text.empty()) {
            materialise();
        }
    }
    void setStatusColour(TextColour colour) override {
        colour_ = colour;
        if (!real_ && colour == TextColour::Red) {
            materialise();
        } else if (real_) {
            real_->setStatusColour(colour);
        }
    }
    void setProgressIndeterminate(bool indeterminate) override {
        indeterminate_ = indeterminate;
        if (real_) {
            real_->setProgressIndeterminate(indeterminate);
        }
    }
    void setProgressMaximum(double maximum) override {
        maximum_ = maximum;
        if (real_) {
            real_->setProgressMaximum(maximum);
        }
    }
    double progressMaximum() const override {
        return maximum_.value_or(DEFAULT_MAXIMUM);
    }
    void setProgressValue(double value) override {
        value_ = value;
        if (real_) {
            real_->setProgressValue(value);
        }
    }
    void incrementProgressBy(double delta) override {
        value_ += delta;
        if (real_) {
            real_->incrementProgressBy(delta);
        }
    }
    void startProgressAnimation() override {
        animating_ = true;
        if (real_) {
            real_->startProgressAnimation();
        } else {
            materialise();
        }
    }
    void stopProgressAnimation() override {
        animating_ = false;
        if (real_) {
            real_->stopProgressAnimation();
        }
    }
    void setCancelEnabled(bool enabled) override {
        cancelEnabled_ = enabled;
        if (real_) {
            real_->setCancelEnabled(enabled);
        }
    }
    void showSplashImage(const std::string& path) override {
        splash_ = path;
        if (real_) {
            real_->showSplashImage(path);
        }
    }
    void displayIfNeeded() override {
        if (real_) {
            real_->displayIfNeeded();
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

    // Opens the real window and brings it to the state asked for so far.
    void materialise() {
        if (real_ || closed_) {
            return;
        }
        // Signals are still answered here until the window closes: opening takes a while, and
        // the real window answers them too once it is open.
        cancelPatience();
        real_ = open_();
        real_->setDelegate(this);
        if (!splash_.empty()) {
            real_->showSplashImage(splash_);
        }
        // A maximum never set stays unset, so that no made-up total is shown.
        if (maximum_) {
            real_->setProgressMaximum(*maximum_);
        }
        real_->setProgressIndeterminate(indeterminate_);
        real_->setProgressValue(value_);
        real_->setCancelEnabled(cancelEnabled_);
        if (animating_) {
            real_->startProgressAnimation();
        }
        real_->setStatusText(status_);
        real_->setStatusColour(colour_);
    }

    EventLoop& loop_;
    std::function<std::unique_ptr<DownloadWindow>()> open_;
    std::unique_ptr<DownloadWindow> real_;
    DownloadWindowDelegate* delegate_ = nullptr;
    CloseOnSignals signals_;
    unsigned patience_ = 0;
    bool closed_ = false;

    std::string status_;
    TextColour colour_ = TextColour::Default;
    bool indeterminate_ = false;
    static constexpr double DEFAULT_MAXIMUM = 100.0;
    std::optional<double> maximum_;
    double value_ = 0;
    bool animating_ = false;
    bool cancelEnabled_ = true;
    std::string splash_;
};

} // namespace

std::unique_ptr<DownloadWindow>
makeDeferredWindow(EventLoop& loop, std::function<std::unique_ptr<DownloadWindow>()> open,
                   double patienceSeconds) {
    return std::make_unique<DeferredWindow>(loop, std::move(open), patienceSeconds);
}

} // namespace qz::platform
