#include "platform/window/window_throttle.h"

#include "platform/system/event_loop.h"
#include "support/main_context.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <vector>

namespace qz::platform {
namespace {

using Clock = std::chrono::steady_clock;

struct Shown {
    WindowState state;
    Clock::time_point at;
};

struct RecordingWindow : DownloadWindow {
    std::vector<Shown>* shown;
    explicit RecordingWindow(std::vector<Shown>* s) : shown(s) {}
    void setDelegate(DownloadWindowDelegate*) override {}
    void show(const WindowState& state) override {
        shown->push_back({state, Clock::now()});
    }
    void close() override {}
};

WindowState transferring(double value) {
    WindowState state;
    state.activity = Activity::Transferring;
    state.status = "Downloading " + std::to_string(value);
    state.bar = {false, true, value, 1000.0};
    state.bytesReceived = static_cast<std::int64_t>(value);
    return state;
}

class WindowThrottleTest : public ::testing::Test {
  protected:
    static constexpr double PER_SECOND = 4;
    EventLoop loop;
    std::vector<Shown> shown;
    std::unique_ptr<DownloadWindow> throttle =
        makeWindowThrottle(loop, std::make_unique<RecordingWindow>(&shown), PER_SECOND);

    std::vector<WindowState> states() const {
        std::vector<WindowState> result;
        for (const auto& s : shown) {
            result.push_back(s.state);
        }
        return result;
    }
};

TEST_F(WindowThrottleTest, ProgressIsCoalescedAndTheLatestIsDeliveredInItsTurn) {
    throttle->show(transferring(0));
    throttle->show(transferring(0));
    for (int value = 1; value <= 100; ++value) {
        throttle->show(transferring(value));
    }
    EXPECT_EQ(states(), std::vector<WindowState>{transferring(0)});
    ASSERT_TRUE(test::runLoopUntil(
        loop, [&] { return shown.size() == 2; }, 5.0));
    EXPECT_EQ(shown.back().state, transferring(100));
    // The loop's timers have a resolution of a millisecond.
    EXPECT_GE(shown[1].at - shown[0].at,
              std::chrono::duration<double>(1 / PER_SECOND) - std::chrono::milliseconds(2));
}

TEST_F(WindowThrottleTest, AChangeBeyondProgressGoesThroughAtOnceAfterTheProgressHeldBack) {
    const std::vector<std::function<void(WindowState&)>> changes = {
        [](WindowState& s) { s.activity = Activity::Failed; },
        [](WindowState& s) { s.colour = TextColour::Red; },
        [](WindowState& s) { s.cancelEnabled = false; },
        [](WindowState& s) { s.bar.indeterminate = true; },
        [](WindowState& s) { s.bar.animating = false; },
        [](WindowState& s) { s.bar.maximum.reset(); },
        [](WindowState& s) { s.splashImage = "/s.png"; },
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        shown.clear();
        throttle = makeWindowThrottle(loop, std::make_unique<RecordingWindow>(&shown), PER_SECOND);
        WindowState changed = transferring(20);
        changes[i](changed);
        throttle->show(transferring(0));
        throttle->show(transferring(10));
        throttle->show(changed);
        EXPECT_EQ(states(), (std::vector<WindowState>{transferring(0), transferring(10), changed}))
            << "change " << i;
    }
}

} // namespace
} // namespace qz::platform
