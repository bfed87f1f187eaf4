#pragma once

// Waiting in tests without sleeping through the event that ends the wait: the loop that delivers
// it runs meanwhile.

#include "platform/system/event_loop.h"

#include <chrono>
#include <functional>
#include <glib.h>

namespace qz::test {

// Calls `iterate` (which waits at most 10 ms for something to do) until `condition` holds or
// `seconds` have passed; returns whether it holds.
inline bool iterateUntil(const std::function<bool()>& condition, double seconds,
                         const std::function<void()>& iterate) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    bool holds = condition();
    while (!holds && Clock::now() < deadline) {
        iterate();
        holds = condition();
    }
    return holds;
}

// Dispatching a GLib main context, the default one unless given.
inline bool runMainContextUntil(const std::function<bool()>& condition, double seconds,
                                GMainContext* context = nullptr) {
    g_autoptr(GSource) wake = g_timeout_source_new(10); // to look at the condition
    g_source_set_callback(
        wake, [](gpointer) { return gboolean(G_SOURCE_CONTINUE); }, nullptr, nullptr);
    g_source_attach(wake, context);
    const bool holds =
        iterateUntil(condition, seconds, [&] { g_main_context_iteration(context, TRUE); });
    g_source_destroy(wake);
    return holds;
}

// Running our own loop, where no GLib runs it.
inline bool runLoopUntil(platform::EventLoop& loop, const std::function<bool()>& condition,
                         double seconds) {
    return iterateUntil(condition, seconds, [&] { loop.iterate(10); });
}

} // namespace qz::test
