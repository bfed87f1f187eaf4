#include "platform/window/display_probe.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace qz::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Unreachable: nothing listens there (the next way to the display is tried, as GDK and Xlib do).
enum class Answer { Yes, Silent, Unreachable };

struct Endpoint {
    sockaddr_storage address{};
    socklen_t length = 0;
};

Endpoint unixEndpoint(const std::string& path, bool abstract) {
    Endpoint endpoint;
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    const std::size_t length = std::min(path.size(), sizeof un.sun_path - 1 - offset);
    std::memcpy(un.sun_path + offset, path.data(), length);
    std::memcpy(&endpoint.address, &un, sizeof un);
    endpoint.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + length +
                                             (abstract ? 0 : 1));
    return endpoint;
}

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

struct Asked {
    Answer answer = Answer::Unreachable;
    DisplayConnection connection; // open when the answer is Yes
};

// Connects, says `hello`, and waits for any answer (a closed connection is one too) until the
// deadline.
Asked ask(const Endpoint& endpoint, const std::string& hello, Clock::time_point deadline) {
    const int fd =
        ::socket(endpoint.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return {};
    }
    DisplayConnection connection(fd);
    Answer answer = Answer::Unreachable;
    pollfd ready{fd, POLLOUT, 0};
    const bool connecting =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length) == 0 ||
        errno == EINPROGRESS || errno == EAGAIN;
    if (connecting && ::poll(&ready, 1, remainingMs(deadline)) == 0) {
        answer = Answer::Silent; // not even connected in time
    } else if (connecting) {
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
        ready = {fd, POLLIN, 0};
        if (error == 0) {
            answer = ::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) ==
                                 static_cast<ssize_t>(hello.size()) &&
                             ::poll(&ready, 1, remainingMs(deadline)) == 0
                         ? Answer::Silent
                         : Answer::Yes;
        }
    }
    if (answer != Answer::Yes) {
        return {answer, DisplayConnection()};
    }
    return {answer, std::move(connection)};
}

// X11's connection setup, little-endian, protocol 11.0, without authorisation: any server
// answers it, with its welcome or a refusal.
const std::string X11_HELLO("l\0\x0b\0\0\0\0\0\0\0\0\0", 12);
// Wayland: wl_display.get_registry (new id 2), then wl_display.sync (new id 3).
const std::string WAYLAND_HELLO("\x01\0\0\0\x01\0\x0c\0\x02\0\0\0\x01\0\0\0\0\0\x0c\0\x03\0\0\0",
                                24);

// Where the X server of `display` listens, first choice first; none to ask.
std::vector<Endpoint> x11Endpoints(const std::string& display) {
    const auto colon = display.rfind(':');
    if (colon == std::string::npos) {
        return {};
    }
    std::string host = display.substr(0, colon);
    if (const auto slash = host.find('/'); slash != std::string::npos) {
        host = host.substr(slash + 1); // "unix/" or "tcp/" before the host
    }
    const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
        return {};
    }
    if (host.empty() || host == "unix") {
        const std::string socket = "/tmp/.X11-unix/X" + number;
        return {unixEndpoint(socket, true), unixEndpoint(socket, false)};
    }
    Endpoint tcp;
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<std::uint16_t>(6000 + std::stoi(number)));
    if (::inet_pton(AF_INET, host == "localhost" ? "127.0.0.1" : host.c_str(), &in.sin_addr) != 1) {
        return {};
    }
    std::memcpy(&tcp.address, &in, sizeof in);
    tcp.length = sizeof in;
    return {tcp};
}

bool allows(const std::string& backends, const std::string& backend) {
    return backends.empty() || backends == "*" || backends.find(backend) != std::string::npos;
}

} // namespace

DisplayConnection::~DisplayConnection() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

Result<DisplayConnection> displayAnswers(const DisplayNames& names, double seconds) {
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    // GTK tries Wayland first, then X11, as GDK_BACKEND allows.
    if (!names.wayland.empty() && allows(names.gdkBackend, "wayland")) {
        const std::string socket =
            names.wayland.front() == '/' ? names.wayland : names.runtimeDir + "/" + names.wayland;
        auto asked = ask(unixEndpoint(socket, false), WAYLAND_HELLO, deadline);
        switch (asked.answer) {
        case Answer::Yes:
            return std::move(asked.connection);
        case Answer::Silent:
            return Failure{"The display " + names.wayland + " does not answer"};
        case Answer::Unreachable:
            break;
        }
    }
    if (!names.x11.empty() && allows(names.gdkBackend, "x11")) {
        for (const auto& endpoint : x11Endpoints(names.x11)) {
            auto asked = ask(endpoint, X11_HELLO, deadline);
            switch (asked.answer) {
            case Answer::Yes:
                return std::move(asked.connection);
            case Answer::Silent:
                return Failure{"The display " + names.x11 + " does not answer"};
            case Answer::Unreachable:
                break;
            }
        }
    }
    return DisplayConnection();
}

} // namespace qz::platform
