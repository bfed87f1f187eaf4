#include "platform/window/glib_loop_driver.h"

#include <glib.h>
#include <vector>

namespace qz::platform {
namespace {

// Our loop as a GSource: its descriptors are the source's, its next delayed call the source's
// time-out.
struct LoopSource {
    GSource base;
    LoopBridge* loop;
    std::vector<pollfd>* watched; // as last handed to GLib
    std::vector<gpointer>* tags;
};

// Brings the source's descriptors in line with the loop's, touching only what changed.
void syncDescriptors(LoopSource* source) {
    std::vector<pollfd> wanted(source->watched->size() + 4);
    const std::size_t count = source->loop->pollDescriptors(wanted.data(), wanted.size());
    if (count > wanted.size()) {
        wanted.resize(count);
        source->loop->pollDescriptors(wanted.data(), wanted.size());
    }
    wanted.resize(count);
    auto& watched = *source->watched;
    auto& tags = *source->tags;
    for (std::size_t i = 0; i < std::max(wanted.size(), watched.size()); ++i) {
        const bool same = i < wanted.size() && i < watched.size() &&
                          wanted[i].fd == watched[i].fd && wanted[i].events == watched[i].events;
        if (same) {
            continue;
        }
        if (i < watched.size()) {
            g_source_remove_unix_fd(&source->base, tags[i]);
        }
        if (i < wanted.size()) {
            const auto condition = static_cast<GIOCondition>(wanted[i].events);
            const gpointer tag = g_source_add_unix_fd(&source->base, wanted[i].fd, condition);
            if (i < tags.size()) {
                tags[i] = tag;
            } else {
                tags.push_back(tag);
            }
        }
    }
    watched = std::move(wanted);
    tags.resize(watched.size());
}

gboolean prepare(GSource* base, gint* timeout) {
    auto* source = reinterpret_cast<LoopSource*>(base);
    syncDescriptors(source);
    *timeout = source->loop->pollTimeoutMs();
    return *timeout == 0;
}

gboolean check(GSource* base) {
    auto* source = reinterpret_cast<LoopSource*>(base);
    for (gpointer tag : *source->tags) {
        if (g_source_query_unix_fd(base, tag) != 0) {
            return TRUE;
        }
    }
    return source->loop->pollTimeoutMs() == 0;
}

gboolean dispatch(GSource* base, GSourceFunc, gpointer) {
    auto* source = reinterpret_cast<LoopSource*>(base);
    // GIOCondition's bits are poll's.
    std::vector<pollfd> ready = *source->watched;
    for (std::size_t i = 0; i < ready.size(); ++i) {
        ready[i].revents = static_cast<short>(g_source_query_unix_fd(base, (*source->tags)[i]));
    }
    source->loop->dispatch(ready.data(), ready.size());
    return G_SOURCE_CONTINUE;
}

void finalize(GSource* base) {
    auto* source = reinterpret_cast<LoopSource*>(base);
    delete source->watched;
    delete source->tags;
}

GSourceFuncs loopSourceFuncs = {prepare, check, dispatch, finalize, nullptr, nullptr};

} // namespace

struct GlibLoopDriver::Impl final : LoopDriver {
    explicit Impl(LoopBridge& bridge) : loop(bridge), mainLoop(g_main_loop_new(nullptr, FALSE)) {
        source = g_source_new(&loopSourceFuncs, sizeof(LoopSource));
        auto* ours = reinterpret_cast<LoopSource*>(source);
        ours->loop = &loop;
        ours->watched = new std::vector<pollfd>();
        ours->tags = new std::vector<gpointer>();
        g_source_set_priority(source, G_PRIORITY_DEFAULT_IDLE);
        g_source_set_name(source, "qz-event-loop");
        g_source_attach(source, nullptr);
        loop.drivenBy(this);
    }
    ~Impl() {
        loop.drivenBy(nullptr);
        quit();
        g_source_destroy(source);
        g_source_unref(source);
        g_main_loop_unref(mainLoop);
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void run() override {
        g_main_loop_run(mainLoop);
    }
    void quit() override {
        g_main_loop_quit(mainLoop);
    }

    LoopBridge& loop;
    GMainLoop* mainLoop;
    GSource* source = nullptr;
};

GlibLoopDriver::GlibLoopDriver(LoopBridge& loop) : impl_(std::make_unique<Impl>(loop)) {}

GlibLoopDriver::~GlibLoopDriver() = default;

} // namespace qz::platform
