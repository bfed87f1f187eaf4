#include "support/main_context.h"

#include <chrono>
#include <glib.h>

namespace qz::test {

bool runMainContextUntil(const std::function<bool()>& condition, double seconds,
                         GMainContext* context) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    GSource* wake = g_timeout_source_new(10);
    g_source_set_callback(
        wake, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr, nullptr);
    g_source_attach(wake, context);
    bool holds = condition();
    while (!holds && Clock::now() < deadline) {
        g_main_context_iteration(context, TRUE);
        holds = condition();
    }
    g_source_destroy(wake);
    g_source_unref(wake);
    return holds;
}

} // namespace qz::test
