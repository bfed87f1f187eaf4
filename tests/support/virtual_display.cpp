#include "support/virtual_display.h"

#include <glib.h>

#include <csignal>
#include <stdexcept>

#ifdef QZ_TEST_HAVE_GTK
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#endif

namespace qz::test {

std::optional<std::string> findProgram(const std::string& name) {
    g_autofree gchar* path = g_find_program_in_path(name.c_str());
    return path ? std::optional<std::string>(path) : std::nullopt;
}

VirtualDisplay::VirtualDisplay() {
    try {
        // Xvfb writes the display number and a newline once it accepts connections.
        process_ = std::make_unique<ChildProcess>(
            "Xvfb", std::vector<std::string>{"-displayfd", "1", "-screen", "0", "1024x768x24",
                                             "-nolisten", "tcp"});
    } catch (const std::exception& e) {
        error_ = std::string("cannot start Xvfb: ") + e.what();
        return;
    }
    const std::string out = process_->waitForOut("\n", 10) ? process_->outSoFar() : "";
    if (out.empty() || out[0] == '\n') {
        error_ = "Xvfb did not report a display: " + process_->errSoFar();
        return;
    }
    name_ = ":" + out.substr(0, out.find('\n'));
}

VirtualDisplay::~VirtualDisplay() {
    // SIGTERM lets it remove its lock file and socket; the process's destructor kills the rest.
    if (process_) {
        process_->signal(SIGTERM);
        process_->waitForExit(5);
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
    XWindowAttributes size{};
    XImage* image = XGetWindowAttributes(dpy(display_), window, &size) == 0
                        ? nullptr
                        : XGetImage(dpy(display_), window, 0, 0, static_cast<unsigned>(size.width),
                                    static_cast<unsigned>(size.height), AllPlanes, ZPixmap);
    if (image == nullptr) {
        return result;
    }
    // The server runs at depth 24, whose pixels are 0xRRGGBB already.
    result.width = image->width;
    result.height = image->height;
    for (int y = 0; y < image->height; ++y) {
        for (int x = 0; x < image->width; ++x) {
            result.rgb.push_back(static_cast<std::uint32_t>(XGetPixel(image, x, y) & 0xffffff));
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
void XClient::requestClose(unsigned long) {}
XClient::Image XClient::capture(unsigned long) {
    return Image();
}

#endif

} // namespace qz::test
