// Counts what the GTK download window draws, from outside the program: an LD_PRELOAD library
// that passes each call on to GTK and notes its monotonic time.
//
//   frame  gdk_window_begin_draw_frame: GTK paints a window (one per window per frame drawn)
//   draw   gtk_widget_draw: the program renders a widget itself
//   bar    gtk_progress_bar_set_fraction / gtk_progress_bar_pulse: the bar gets a new state
//   text   gtk_label_set_text / gtk_label_set_markup: the status line gets a new text
//
// When the process ends, the events go to "$QZ_BENCH_DRAW_LOG.<pid>", one "<kind> <ns>" a line
// (nothing is written by a process that made no such call, such as the shells it starts).
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace {

enum Kind : unsigned char { Frame, Draw, Bar, Text };
const char* const NAMES[] = {"frame", "draw", "bar", "text"};

struct Event {
    long long ns;
    Kind kind;
};

constexpr std::size_t CAPACITY = 1 << 20;
Event events[CAPACITY];
std::atomic<std::size_t> count{0};

void note(Kind kind) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::size_t i = count.fetch_add(1, std::memory_order_relaxed);
    if (i < CAPACITY) {
        events[i] = {static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec, kind};
    }
}

// The program loads GTK privately (RTLD_LOCAL) from a module of its own, out of RTLD_NEXT's
// reach: look in GTK's and GDK's libraries themselves, which are loaded by the time of a call.
template <typename Fn> Fn next(const char* name) {
    if (void* symbol = dlsym(RTLD_NEXT, name)) {
        return reinterpret_cast<Fn>(symbol);
    }
    for (const char* library : {"libgdk-3.so.0", "libgtk-3.so.0"}) {
        if (void* handle = dlopen(library, RTLD_LAZY | RTLD_NOLOAD)) {
            if (void* symbol = dlsym(handle, name)) {
                return reinterpret_cast<Fn>(symbol);
            }
        }
    }
    std::abort();
}

struct Dump {
    ~Dump() {
        const std::size_t n = std::min(count.load(), CAPACITY);
        const char* base = std::getenv("QZ_BENCH_DRAW_LOG");
        if (n == 0 || base == nullptr) {
            return;
        }
        const std::string path = std::string(base) + "." + std::to_string(getpid());
        if (FILE* f = std::fopen(path.c_str(), "w")) {
            for (std::size_t i = 0; i < n; ++i) {
                std::fprintf(f, "%s %lld\n", NAMES[events[i].kind], events[i].ns);
            }
            std::fclose(f);
        }
    }
} dump;

} // namespace

extern "C" {

void* gdk_window_begin_draw_frame(void* window, const void* region) {
    static auto real = next<void* (*)(void*, const void*)>("gdk_window_begin_draw_frame");
    note(Frame);
    return real(window, region);
}

void gtk_widget_draw(void* widget, void* cr) {
    static auto real = next<void (*)(void*, void*)>("gtk_widget_draw");
    note(Draw);
    real(widget, cr);
}

void gtk_progress_bar_set_fraction(void* bar, double fraction) {
    static auto real = next<void (*)(void*, double)>("gtk_progress_bar_set_fraction");
    note(Bar);
    real(bar, fraction);
}

void gtk_progress_bar_pulse(void* bar) {
    static auto real = next<void (*)(void*)>("gtk_progress_bar_pulse");
    note(Bar);
    real(bar);
}

void gtk_label_set_text(void* label, const char* text) {
    static auto real = next<void (*)(void*, const char*)>("gtk_label_set_text");
    note(Text);
    real(label, text);
}

void gtk_label_set_markup(void* label, const char* markup) {
    static auto real = next<void (*)(void*, const char*)>("gtk_label_set_markup");
    note(Text);
    real(label, markup);
}
}
