#include "platform/window/gtk_window.h"

#include "platform/system/event_loop.h"

#include "base/write_all.h"
#include "platform/system/system_log.h"

#include <cerrno>
#include <cstdlib>
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
extern "C" const char qz_gtk_module_start[];
extern "C" const char qz_gtk_module_end[];

namespace qz::platform {
namespace {

// The module's factory, from a copy of the module loaded for this call; it stays loaded, as GTK
// cannot be unloaded.
void* loadFactory() {
    const int fd = ::memfd_create("qz-gtk-window", MFD_CLOEXEC);
    if (fd < 0) {
        systemLog(systemFailure("The GTK window cannot be loaded").reason());
        return nullptr;
    }
    void* factory = nullptr;
    const std::size_t size = static_cast<std::size_t>(qz_gtk_module_end - qz_gtk_module_start);
    if (const auto written = writeAll(fd, qz_gtk_module_start, size); !written) {
        systemLog("The GTK window cannot be loaded: " + written.reason());
    } else if (void* module = ::dlopen(("/proc/self/fd/" + std::to_string(fd)).c_str(),
                                       RTLD_NOW | RTLD_LOCAL)) {
        factory = ::dlsym(module, "qz_make_gtk_window");
    } else {
        // GTK is not installed: the terminal window serves instead.
        systemLog(std::string("The download window needs GTK 3, which cannot be loaded (") +
                  ::dlerror() + "); progress is shown in the terminal instead.");
    }
    ::close(fd);
    return factory;
}

} // namespace

std::unique_ptr<DownloadWindow> makeGtkWindow(EventLoop& loop, const std::string& title) {
    void* factory = loadFactory();
    if (factory == nullptr) {
        return nullptr;
    }
    // Plain data across the module's boundary: it is a program of its own.
    using Factory = DownloadWindow* (*)(LoopBridge*, const char*);
    std::unique_ptr<DownloadWindow> window(
        reinterpret_cast<Factory>(factory)(&loop, title.empty() ? nullptr : title.c_str()));
    if (!window) {
        // GTK is there but the display is not: the user should learn why no window came.
        systemLog("The download window cannot open the display; progress is shown in the "
                  "terminal instead.");
    }
    return window;
}

} // namespace qz::platform
