#pragma once

#include "platform/system/event_loop.h"
#include "platform/transfer/url_transfer.h"
#include "support/files.h"
#include "support/http_test_server.h"

#include <arpa/inet.h>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qz::platform {

using namespace std::chrono_literals;

inline std::string randomBytes(std::size_t size) {
    std::mt19937 generator(static_cast<unsigned>(size));
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(generator());
    }
    return bytes;
}

// A port that nothing listens on (bound once, then released).
inline std::uint16_t closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// Records every callback; the final one stops the loop.
class Recorder : public UrlTransferDelegate {
  public:
    explicit Recorder(EventLoop& loop) : loop_(loop) {}

    void transferDidReceiveResponse(const UrlResponse& received) override {
        events.push_back("response");
        response = received;
        if (onResponse) {
            onResponse();
        }
    }
    void transferDidReceiveData(std::uint64_t length) override {
        if (events.empty() || events.back() != "data") {
            events.push_back("data");
        }
        bytes += length;
        if (onData) {
            onData();
        }
    }
    void transferDidFinish() override {
        events.push_back("finish");
        loop_.stop(0);
    }
    void transferDidFail(const UrlError& received) override {
        events.push_back("fail");
        error = received;
        loop_.stop(0);
    }

    std::vector<std::string> events; // consecutive data blocks recorded once
    std::optional<UrlResponse> response;
    std::optional<UrlError> error;
    std::uint64_t bytes = 0;
    std::function<void()> onResponse;
    std::function<void()> onData;

  private:
    EventLoop& loop_;
};

using Events = std::vector<std::string>;

class UrlTransferTest : public ::testing::Test {
  protected:
    // Runs the loop until the delegate's final callback (or a stop of the test's own).
    void runLoop() {
        const unsigned guard = loop.callLater(8, [this] { loop.stop(-1); });
        const int status = loop.run();
        loop.cancelCall(guard);
        ASSERT_NE(status, -1) << "the transfer never ended";
    }

    // Stops the loop a little after a cancellation, long enough for a stray callback to show.
    void stopSoon() {
        loop.callLater(0.3, [this] { loop.stop(0); });
    }

    test::HttpTestServer server;
    test::ScratchDir scratch;
    EventLoop loop;
    Recorder recorder{loop};
    const std::string destination = scratch / "InstallAgent.zip";
};

} // namespace qz::platform
