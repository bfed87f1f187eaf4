// The download window's front end, chosen when the application starts: the terminal, or the GTK
// module carried inside the program, loaded and opened only once there is something to show.
#include "platform/window/download_window.h"

#include "base/settings.h"
#include "platform/system/close_on_signals.h"
#include "platform/system/event_loop.h"
#include "platform/window/terminal_window.h"
#include "platform/window/window_throttle.h"

#ifdef QZ_HAVE_GTK
#include "base/write_all.h"
#include "platform/system/main_bundle.h"
#include "platform/system/system_log.h"
#include "platform/window/display_probe.h"

#include <dlfcn.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

// The GTK window is a module of its own, carried inside the program so that the installer stays
// one file, and loaded from memory only when a display is there.
asm(".section .rodata\n"
    ".balign 64\n"
    "qz_gtk_module_start:\n"
    ".incbin \"" QZ_GTK_MODULE_PATH "\"\n"
    "qz_gtk_module_end:\n"
    ".previous\n");
// Hidden, so that they are reached relative to the code: through the GOT, which arm64 code uses
// for other symbols, clang 14's assembler and lld resolve both to wrong addresses.
extern "C" __attribute__((visibility("hidden"))) const char qz_gtk_module_start[];
extern "C" __attribute__((visibility("hidden"))) const char qz_gtk_module_end[];
#endif

namespace qz::platform {
namespace {

class DeferredWindow : public DownloadWindow, public DownloadWindowDelegate {
  public:
    DeferredWindow(EventLoop& loop, std::function<std::unique_ptr<DownloadWindow>()> open,
                   double patienceSeconds)
        : loop_(loop), open_(std::move(open)), signals_(loop, [this] { close(); }) {
        patience_ = loop_.callLater(patienceSeconds, [this] {
            patience_ = 0;
            materialise();
        });
    }

    ~DeferredWindow() override {
        removeSources();
        if (real_) {
            real_->setDelegate(nullptr);
        }
    }

    DeferredWindow(const DeferredWindow&) = delete;
    DeferredWindow& operator=(const DeferredWindow&) = delete;

    void setDelegate(DownloadWindowDelegate* delegate) override {
        delegate_ = delegate;
    }

    void show(const WindowState& state) override {
        state_ = state;
        if (real_) {
            real_->show(state);
        } else if (state.activity == Activity::Starting ? !state.status.empty()
                                                        : state.activity != Activity::Checking) {
            // A signature fetched in a moment is no reason to open a window yet.
            materialise();
        }
    }

    bool closableByUser() override {
        materialise();
        return real_ == nullptr || real_->closableByUser();
    }

    void close() override {
        if (closed_) {
            return;
        }
        if (real_) {
            real_->close(); // comes back through windowWillClose
            return;
        }
        windowWillClose();
    }

    void windowWillClose() override {
        if (closed_) {
            return;
        }
        closed_ = true;
        removeSources();
        if (delegate_ != nullptr) {
            delegate_->windowWillClose();
        }
    }

  private:
    void removeSources() {
        signals_.stop();
        cancelPatience();
    }

    void cancelPatience() {
        if (patience_ != 0) {
            loop_.cancelCall(patience_);
            patience_ = 0;
        }
    }

    // Opens the real window and shows it the last state asked for.
    void materialise() {
        if (real_ || closed_) {
            return;
        }
        cancelPatience();
        real_ = open_();
        real_->setDelegate(this);
        real_->show(state_);
    }

    EventLoop& loop_;
    std::function<std::unique_ptr<DownloadWindow>()> open_;
    std::unique_ptr<DownloadWindow> real_;
    DownloadWindowDelegate* delegate_ = nullptr;
    // Answered here until the window closes, whichever window is open: the GTK window leaves
    // them to the loop that owns them.
    CloseOnSignals signals_;
    unsigned patience_ = 0;
    bool closed_ = false;
    WindowState state_;
};

#ifdef QZ_HAVE_GTK
// Plain data across the module's boundary: it is a program of its own.
using GtkWindowFactory = DownloadWindow* (*)(LoopBridge*, const char*);

// The module's factory, loaded from `fd`, which holds nothing yet.
Result<GtkWindowFactory> loadModule(int fd) {
    const std::size_t size = static_cast<std::size_t>(qz_gtk_module_end - qz_gtk_module_start);
    if (auto written = writeAll(fd, qz_gtk_module_start, size); !written) {
        return Failure{"The GTK window cannot be loaded: " + written.reason(),
                       written.failure().error()};
    }
    void* module = ::dlopen(("/proc/self/fd/" + std::to_string(fd)).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        // GTK is not installed: the terminal window serves instead.
        return Failure{std::string("The download window needs GTK 3, which cannot be loaded (") +
                       ::dlerror() + "); progress is shown in the terminal instead."};
    }
    if (void* factory = ::dlsym(module, "qz_make_gtk_window")) {
        return reinterpret_cast<GtkWindowFactory>(factory);
    }
    return Failure{std::string("The GTK window cannot be loaded: ") + ::dlerror()};
}

// The module's factory, from a copy of the module loaded for this call; it stays loaded, as GTK
// cannot be unloaded.
Result<GtkWindowFactory> loadFactory() {
    const int fd = ::memfd_create("qz-gtk-window", MFD_CLOEXEC);
    if (fd < 0) {
        return systemFailure("The GTK window cannot be loaded");
    }
    auto factory = loadModule(fd);
    ::close(fd);
    return factory;
}
#endif

std::unique_ptr<DownloadWindow> makeFrontEnd(EventLoop& loop, const Settings& settings) {
    const TerminalWindowOptions terminal = terminalWindowOptionsFor(stderr, settings);
#ifdef QZ_HAVE_GTK
    // Loading GTK and opening the display cost more than a run that finds its cache current
    // takes in all, so the window is opened only once it has something to show.
    if (settings.display) {
        const DisplayNames names{settings.x11Display, settings.waylandDisplay,
                                 settings.runtimeDirectory, settings.gdkBackend};
        return makeDeferredWindow(loop, [&loop, terminal, names,
                                         patience = settings.displayPatience,
                                         bundle = mainBundle(settings)] {
            // GTK would wait for ever for a display that takes the connection and says nothing.
            // The connection that asked stays open while GTK opens its own.
            if (const auto answers = displayAnswers(names, patience); !answers) {
                systemLog(answers.reason() + "; progress is shown in the terminal instead.");
            } else if (auto window = makeGtkWindow(
                           loop, bundle ? installerTitle(bundle->resourcePath) : std::string())) {
                return window;
            }
            return makeTerminalWindow(loop, terminal);
        });
    }
#endif
    return makeTerminalWindow(loop, terminal);
}

} // namespace

std::unique_ptr<DownloadWindow>
makeDeferredWindow(EventLoop& loop, std::function<std::unique_ptr<DownloadWindow>()> open,
                   double patienceSeconds) {
    return std::make_unique<DeferredWindow>(loop, std::move(open), patienceSeconds);
}

#ifdef QZ_HAVE_GTK
std::unique_ptr<DownloadWindow> makeGtkWindow(EventLoop& loop, const std::string& title) {
    const auto factory = loadFactory();
    if (!factory) {
        systemLog(factory.reason());
        return nullptr;
    }
    std::unique_ptr<DownloadWindow> window(
        (*factory)(&loop, title.empty() ? nullptr : title.c_str()));
    if (!window) {
        // GTK is there but the display is not: the user should learn why no window came.
        systemLog("The download window cannot open the display; progress is shown in the "
                  "terminal instead.");
    }
    return window;
}
#endif

std::unique_ptr<DownloadWindow> makeDownloadWindow(EventLoop& loop, const Settings& settings) {
    return makeWindowThrottle(loop, makeFrontEnd(loop, settings));
}

} // namespace qz::platform
