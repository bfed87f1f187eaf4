#include "platform/event_loop.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace qz::platform {
namespace {

TEST(EventLoop, RunReturnsTheStatusGivenToStop) {
    EventLoop loop;
    loop.callLater(0, [&] { loop.stop(7); });
    EXPECT_EQ(loop.run(), 7);
    loop.callLater(0.01, [&] { loop.stop(-3); });
    EXPECT_EQ(loop.run(), -3);
}

TEST(EventLoop, StopBeforeRunEndsTheNextRunAtOnce) {
    EventLoop loop;
    bool ran = false;
    loop.stop(4);
    loop.callLater(0, [&] { ran = true; });
    EXPECT_EQ(loop.run(), 4);
    EXPECT_FALSE(ran);
}

TEST(EventLoop, StopEndsTheRunAfterTheCurrentCallback) {
    EventLoop loop;
    std::vector<std::string> calls;
    loop.callLater(0, [&] {
        loop.stop(1);
        calls.push_back("after stop");
    });
    EXPECT_EQ(loop.run(), 1);
    EXPECT_EQ(calls, std::vector<std::string>{"after stop"});
}

TEST(EventLoop, DelayedCallsRunOnceInOrderOfTheirTime) {
    EventLoop loop;
    std::vector<int> order;
    loop.callLater(0.06, [&] {
        order.push_back(3);
        loop.stop(0);
    });
    loop.callLater(0.03, [&] { order.push_back(2); });
    loop.callLater(0, [&] { order.push_back(1); });
    loop.run();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(EventLoop, CancelledCallNeverRuns) {
    EventLoop loop;
    bool cancelledRan = false;
    const unsigned id = loop.callLater(0.01, [&] { cancelledRan = true; });
    loop.callLater(0, [&] { loop.cancelCall(id); });
    loop.callLater(0.05, [&] { loop.stop(0); });
    loop.run();
    EXPECT_FALSE(cancelledRan);
    loop.cancelCall(id); // already cancelled: nothing happens
}

TEST(EventLoop, CancellingACallThatRanIsHarmless) {
    EventLoop loop;
    int runs = 0;
    const unsigned id = loop.callLater(0, [&] { ++runs; });
    loop.callLater(0.02, [&] {
        loop.cancelCall(id);
        loop.stop(0);
    });
    loop.run();
    EXPECT_EQ(runs, 1);
}

TEST(EventLoop, PendingCallsAreDroppedWithTheLoop) {
    bool ran = false;
    {
        EventLoop first;
        first.callLater(0, [&] { ran = true; });
    }
    EventLoop second;
    second.callLater(0.02, [&] { second.stop(0); });
    second.run();
    EXPECT_FALSE(ran);
}

} // namespace
} // namespace qz::platform
