#include "platform/deferred_window.h"

#include "platform/event_loop.h"

#include <csignal>
#include <gtest/gtest.h>

namespace qz::platform {
namespace {

// What the real window was told, in order.
struct RecordingWindow : DownloadWindow {
    std::vector<std::string>* calls;
    DownloadWindowDelegate* delegate = nullptr;
    explicit RecordingWindow(std::vector<std::string>* c) : calls(c) {}
    void setDelegate(DownloadWindowDelegate* d) override {
        delegate = d;
    }
    void setStatusText(const std::string& text) override {
        calls->push_back("status " + text);
    }
    void setStatusColour(TextColour colour) override {
        calls->push_back(colour == TextColour::Red ? "red" : "default");
    }
    void setProgressIndeterminate(bool i) override {
        calls->push_back(i ? "indeterminate" : "determinate");
    }
    void setProgressMaximum(double m) override {
        calls->push_back("maximum " + std::to_string(static_cast<int>(m)));
    }
    double progressMaximum() const override {
        return 0;
    }
    void setProgressValue(double v) override {
        calls->push_back("value " + std::to_string(static_cast<int>(v)));
    }
    void incrementProgressBy(double d) override {
        calls->push_back("increment " + std::to_string(static_cast<int>(d)));
    }
    void startProgressAnimation() override {
        calls->push_back("animate");
    }
    void stopProgressAnimation() override {
        calls->push_back("still");
    }
    void setCancelEnabled(bool e) override {
        calls->push_back(e ? "cancel on" : "cancel off");
    }
    void showSplashImage(const std::string& path) override {
        calls->push_back("splash " + path);
    }
    void displayIfNeeded() override {}
    void close() override {
        calls->push_back("close");
        if (delegate != nullptr) {
            delegate->windowWillClose();
        }
    }
};

struct CountingDelegate : DownloadWindowDelegate {
    int closes = 0;
    void windowWillClose() override {
        ++closes;
    }
};

class DeferredWindowTest : public ::testing::Test {
  protected:
    std::unique_ptr<DownloadWindow> make(double patience = 30.0) {
        auto window = makeDeferredWindow(
            loop,
            [this] {
                ++opens;
                return std::make_unique<RecordingWindow>(&calls);
            },
            patience);
        window->setDelegate(&delegate);
        return window;
    }
    EventLoop loop;
    std::vector<std::string> calls;
    CountingDelegate delegate;
    int opens = 0;
};

TEST_F(DeferredWindowTest, ARunThatEndsQuicklyNeverOpensTheWindow) {
    auto window = make();
    window->setProgressValue(0);
    window->showSplashImage("/s.png");
    window->setStatusText("");
    window->close();
    window->close();
    EXPECT_EQ(opens, 0);
    EXPECT_EQ(delegate.closes, 1);
}

TEST_F(DeferredWindowTest, ADownloadOpensItInTheStateAskedForSoFar) {
    auto window = make();
    window->showSplashImage("/s.png");
    window->setProgressMaximum(200);
    window->setProgressIndeterminate(false);
    window->setProgressValue(0);
    EXPECT_EQ(opens, 0);
    window->startProgressAnimation();
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(calls,
              (std::vector<std::string>{"splash /s.png", "maximum 200", "determinate", "value 0",
                                        "cancel on", "animate", "status ", "default"}));
    calls.clear();
    window->incrementProgressBy(50);
    window->close();
    EXPECT_EQ(calls, (std::vector<std::string>{"increment 50", "close"}));
    EXPECT_EQ(delegate.closes, 1);
    EXPECT_EQ(opens, 1);
}

TEST_F(DeferredWindowTest, AMaximumNeverSetIsNotMadeUp) {
    auto window = make();
    window->setProgressValue(0);
    window->setProgressIndeterminate(true);
    window->startProgressAnimation();
    EXPECT_EQ(opens, 1);
    for (const auto& call : calls) {
        EXPECT_NE(call.rfind("maximum", 0), 0u) << call;
    }
}

TEST_F(DeferredWindowTest, AFailureOrAStatusOpensIt) {
    auto failed = make();
    failed->setStatusColour(TextColour::Red);
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(calls.back(), "red");
    auto waiting = make();
    waiting->setStatusText("Waiting");
    EXPECT_EQ(opens, 2);
}

TEST_F(DeferredWindowTest, ASlowServerOpensItAfterItsPatience) {
    auto window = make(0.05);
    loop.callLater(0.5, [this] { loop.stop(0); });
    std::function<void()> poll = [&] {
        if (opens > 0) {
            loop.stop(1);
        } else {
            loop.callLater(0.01, poll);
        }
    };
    loop.callLater(0.01, poll);
    EXPECT_EQ(loop.run(), 1);
    EXPECT_EQ(opens, 1);
}

TEST_F(DeferredWindowTest, ASignalClosesItBeforeItIsOpen) {
    auto window = make();
    loop.callLater(0, [] { ::raise(SIGTERM); });
    loop.callLater(5.0, [this] { loop.stop(0); });
    std::function<void()> poll = [&] {
        if (delegate.closes > 0) {
            loop.stop(1);
        } else {
            loop.callLater(0.01, poll);
        }
    };
    loop.callLater(0.01, poll);
    EXPECT_EQ(loop.run(), 1);
    EXPECT_EQ(opens, 0);
}

} // namespace
} // namespace qz::platform
