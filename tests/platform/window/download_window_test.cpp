#include "platform/window/download_window.h"

#include "platform/system/event_loop.h"

#include <csignal>
#include <gtest/gtest.h>

namespace qz::platform {
namespace {

// What the real window was shown, in order.
struct RecordingWindow : DownloadWindow {
    std::vector<WindowState>* shown;
    DownloadWindowDelegate* delegate = nullptr;
    explicit RecordingWindow(std::vector<WindowState>* s) : shown(s) {}
    void setDelegate(DownloadWindowDelegate* d) override {
        delegate = d;
    }
    void show(const WindowState& state) override {
        shown->push_back(state);
    }
    void close() override {
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

WindowState transferring(double value) {
    WindowState state;
    state.activity = Activity::Transferring;
    state.status = "Downloading";
    state.bar = {false, true, value, 200.0};
    state.splashImage = "/s.png";
    return state;
}

class DeferredWindowTest : public ::testing::Test {
  protected:
    std::unique_ptr<DownloadWindow> make(double patience = 30.0) {
        auto window = makeDeferredWindow(
            loop,
            [this] {
                ++opens;
                return std::make_unique<RecordingWindow>(&shown);
            },
            patience);
        window->setDelegate(&delegate);
        return window;
    }
    EventLoop loop;
    std::vector<WindowState> shown;
    CountingDelegate delegate;
    int opens = 0;
};

TEST_F(DeferredWindowTest, ARunThatEndsQuicklyNeverOpensTheWindow) {
    auto window = make();
    WindowState starting;
    starting.splashImage = "/s.png";
    window->show(starting);
    window->close();
    window->close();
    EXPECT_EQ(opens, 0);
    EXPECT_EQ(delegate.closes, 1);
}

TEST_F(DeferredWindowTest, ADownloadOpensItInTheLastStateShown) {
    auto window = make();
    WindowState starting;
    starting.splashImage = "/s.png";
    window->show(starting);
    EXPECT_EQ(opens, 0);
    window->show(transferring(0));
    EXPECT_EQ(opens, 1);
    window->show(transferring(50));
    window->close();
    EXPECT_EQ(shown, (std::vector<WindowState>{transferring(0), transferring(50)}));
    EXPECT_EQ(delegate.closes, 1);
    EXPECT_EQ(opens, 1);
}

TEST_F(DeferredWindowTest, AnythingButStartingWithoutAStatusOpensIt) {
    struct Case {
        Activity activity;
        const char* status;
        bool opens;
    };
    for (const Case& c :
         {Case{Activity::Starting, "", false}, Case{Activity::Starting, "x", true},
          Case{Activity::Waiting, "", true}, Case{Activity::Transferring, "", true},
          Case{Activity::HandingOver, "", true}, Case{Activity::Failed, "", true}}) {
        opens = 0;
        auto window = make();
        WindowState state;
        state.activity = c.activity;
        state.status = c.status;
        window->show(state);
        EXPECT_EQ(opens, c.opens ? 1 : 0) << static_cast<int>(c.activity) << c.status;
    }
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
