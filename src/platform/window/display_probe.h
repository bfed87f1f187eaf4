#pragma once

#include "base/result.h"

#include <string>
#include <utility>

namespace qz::platform {

// The display that GTK would open, as the environment names it.
struct DisplayNames {
    std::string x11;        // DISPLAY
    std::string wayland;    // WAYLAND_DISPLAY
    std::string runtimeDir; // XDG_RUNTIME_DIR, where a relative WAYLAND_DISPLAY lies
    std::string gdkBackend; // GDK_BACKEND, when the user chose
};

// The connection that found a display answering, kept open until GTK has opened its own: an X
// server left without clients resets, and the connections that come meanwhile fail.
class DisplayConnection {
  public:
    DisplayConnection() = default;
    explicit DisplayConnection(int fd) : fd_(fd) {}
    DisplayConnection(DisplayConnection&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    DisplayConnection& operator=(DisplayConnection&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~DisplayConnection();

  private:
    int fd_ = -1;
};

// Whether that display answers within `seconds`: a Wayland compositor its first request, an X
// server its connection setup. One that takes the connection and then says nothing (a stopped
// server) would block GTK's opening for ever; one that refuses or is not there fails GTK's
// opening at once, and counts as answering here. An X server over TCP by host name is not
// asked (the name's look-up could block as well).
Result<DisplayConnection> displayAnswers(const DisplayNames& names, double seconds);

} // namespace qz::platform
