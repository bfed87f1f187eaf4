#include "support/virtual_display.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifdef QZ_TEST_HAVE_GTK
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#endif

extern char** environ;

namespace qz::test {

using Clock = std::chrono::steady_clock;

std::optional<std::string> findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) {
            end = dirs.size();
        }
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        const std::string candidate = dir + "/" + name;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return std::nullopt;
}

namespace {

constexpr int DISPLAY_FD = 3;
constexpr auto START_TIMEOUT = std::chrono::seconds(10);
constexpr auto STOP_TIMEOUT = std::chrono::seconds(5);

// Reaps the child, killing it when it does not end on SIGTERM in time.
void stopProcess(pid_t pid) {
    ::kill(pid, SIGTERM);
    const auto deadline = Clock::now() + STOP_TIMEOUT;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace

VirtualDisplay::VirtualDisplay() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error_ = std::string("pipe2: ") + std::strerror(errno);
        return;
    }
    // Kept above the descriptor Xvfb writes to, so dup2 always makes a fresh, inherited copy.
    const int writeEnd = ::fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
    ::close(fds[1]);
    const int readEnd = fds[0];

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd, DISPLAY_FD);
    std::vector<std::string> args = {"Xvfb",      "-displayfd", std::to_string(DISPLAY_FD),
                                     "-screen",   "0",          "1024x768x24",
                                     "-nolisten", "tcp"};
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    // Whatever the test process blocks or ignores, Xvfb must still end on SIGTERM.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigfillset(&defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int spawned = ::posix_spawnp(&pid_, "Xvfb", &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(writeEnd);
    if (spawned != 0) {
        pid_ = -1;
        ::close(readEnd);
        error_ = std::string("cannot start Xvfb: ") + std::strerror(spawned);
        return;
    }

    // Xvfb writes the display number and a newline once it accepts connections.
    std::string text;
    const auto deadline = Clock::now() + START_TIMEOUT;
    while (text.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        pollfd p{readEnd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char buffer[64];
        const ssize_t n = ::read(readEnd, buffer, sizeof buffer);
        if (n <= 0) {
            break; // Xvfb ended without a display
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(readEnd);
    const std::size_t end = text.find('\n');
    if (end == std::string::npos || end == 0) {
        error_ = "Xvfb did not report a display";
        stopProcess(pid_);
        pid_ = -1;
        return;
    }
    name_ = ":" + text.substr(0, end);
}

VirtualDisplay::~VirtualDisplay() {
    if (pid_ > 0) {
        stopProcess(pid_);
    }
}

#ifdef QZ_TEST_HAVE_GTK

namespace {

Display* dpy(void* display) {
    return static_cast<Display*>(display);
}

// A window that vanished between two requests is an answer, not a reason to exit.
int ignoreXErrors(Display*, XErrorEvent*) {
    return 0;
}

} // namespace

XClient::XClient(const std::string& display) {
    XSetErrorHandler(&ignoreXErrors);
    display_ = XOpenDisplay(display.c_str());
    if (display_ == nullptr) {
        throw std::runtime_error("cannot open display " + display);
    }
}

XClient::~XClient() {
    XCloseDisplay(dpy(display_));
}

std::optional<XClient::Geometry> XClient::geometry(unsigned long window) {
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(dpy(display_), window, &attributes) == 0) {
        return std::nullopt;
    }
    int x = 0;
    int y = 0;
    Window child = 0;
    if (XTranslateCoordinates(dpy(display_), window, DefaultRootWindow(dpy(display_)), 0, 0, &x, &y,
                              &child) == 0) {
        return std::nullopt;
    }
    return Geometry{x, y, attributes.width, attributes.height};
}

std::optional<XClient::Geometry> XClient::screenSize() {
    return geometry(DefaultRootWindow(dpy(display_)));
}

void XClient::requestClose(unsigned long window) {
    Display* d = dpy(display_);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, window, False, NoEventMask, &event);
    XSync(d, False);
}

XClient::Image XClient::capture(unsigned long window) {
    Image result;
    const auto size = geometry(window);
    if (!size) {
        return result;
    }
    XImage* image = XGetImage(dpy(display_), window, 0, 0, static_cast<unsigned>(size->width),
                              static_cast<unsigned>(size->height), AllPlanes, ZPixmap);
    if (image == nullptr) {
        return result;
    }
    // Each channel scaled to 8 bits from the visual's masks.
    const auto channel = [](unsigned long pixel, unsigned long mask) -> std::uint32_t {
        if (mask == 0) {
            return 0;
        }
        int shift = 0;
        while (((mask >> shift) & 1UL) == 0) {
            ++shift;
        }
        const unsigned long maximum = mask >> shift;
        return static_cast<std::uint32_t>(((pixel & mask) >> shift) * 255 / maximum);
    };
    result.width = image->width;
    result.height = image->height;
    result.rgb.reserve(static_cast<std::size_t>(image->width) *
                       static_cast<std::size_t>(image->height));
    for (int y = 0; y < image->height; ++y) {
        for (int x = 0; x < image->width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            result.rgb.push_back(channel(pixel, image->red_mask) << 16 |
                                 channel(pixel, image->green_mask) << 8 |
                                 channel(pixel, image->blue_mask));
        }
    }
    XDestroyImage(image);
    return result;
}

#else

XClient::XClient(const std::string&) {
    throw std::runtime_error("built without the GTK window");
}
XClient::~XClient() = default;
std::optional<XClient::Geometry> XClient::geometry(unsigned long) {
    return std::nullopt;
}
std::optional<XClient::Geometry> XClient::screenSize() {
    return std::nullopt;
}
void XClient::requestClose(unsigned long) {}
XClient::Image XClient::capture(unsigned long) {
    return Image();
}

#endif

} // namespace qz::test
