#include "platform/system/event_loop.h"

#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <thread>
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

TEST(EventLoop, BackgroundWorkRunsOffTheLoopWhichGoesOnMeanwhile) {
    EventLoop loop;
    std::atomic<bool> release{false};
    std::thread::id workThread;
    std::thread::id doneThread;
    int ticks = 0;
    loop.runInBackground(
        [&] {
            workThread = std::this_thread::get_id();
            while (!release) {
                std::this_thread::yield();
            }
            return true;
        },
        [&](bool result) {
            doneThread = std::this_thread::get_id();
            loop.stop(result ? 1 : 0);
        });
    // The loop keeps running while the work blocks, and lets it go from a callback of its own.
    loop.callLater(0.01, [&] {
        ++ticks;
        release = true;
    });
    EXPECT_EQ(loop.run(), 1);
    EXPECT_EQ(ticks, 1);
    EXPECT_NE(workThread, std::this_thread::get_id());
    EXPECT_EQ(doneThread, std::this_thread::get_id());
}

TEST(EventLoop, DestroyingTheLoopWaitsForWorkAndDropsItsCompletion) {
    std::atomic<bool> finished{false};
    bool completed = false;
    {
        EventLoop loop;
        loop.runInBackground(
            [&] {
                finished = true;
                return true;
            },
            [&](bool) { completed = true; });
    }
    EXPECT_TRUE(finished);
    EXPECT_FALSE(completed);
}

} // namespace
} // namespace qz::platform
