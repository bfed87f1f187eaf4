#pragma once

#include "platform/system/event_loop.h"

#include <chrono>
#include <functional>
#include <glib.h>

namespace qz::test {

// Dispatches a GLib main context (the default one unless given) until `condition` holds or
// `seconds` have passed; returns whether it holds. Wakes up at least every 10 ms to look at the
// condition.
bool runMainContextUntil(const std::function<bool()>& condition, double seconds,
                         GMainContext* context = nullptr);

// The same for our own loop, where no GLib runs it.
inline bool runLoopUntil(platform::EventLoop& loop, const std::function<bool()>& condition,
                         double seconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    bool holds = condition();
    while (!holds && Clock::now() < deadline) {
        loop.iterate(10);
        holds = condition();
    }
    return holds;
}

} // namespace qz::test
