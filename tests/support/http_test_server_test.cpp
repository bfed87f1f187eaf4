#include "support/http_test_server.h"

#include <arpa/inet.h>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace qz::test {
namespace {

using namespace std::chrono_literals;

// A plain client socket, so the server's wire format is checked without libcurl smoothing it.
class RawClient {
  public:
    explicit RawClient(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() {
        ::close(fd_);
    }

    bool send(const std::string& text) const {
        return connected_ && ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) ==
                                 static_cast<ssize_t>(text.size());
    }
    // Everything until the server closes, or what came before a silence of `patience`.
    std::string receive(std::chrono::milliseconds patience = 5000ms) const {
        std::string received;
        char buffer[65536];
        pollfd waiting{fd_, POLLIN, 0};
        while (::poll(&waiting, 1, static_cast<int>(patience.count())) > 0) {
            const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
            if (got <= 0) {
                closedByServer = true;
                break;
            }
            received.append(buffer, static_cast<std::size_t>(got));
        }
        return received;
    }

    mutable bool closedByServer = false;

  private:
    int fd_;
    bool connected_ = false;
};

std::string get(const HttpTestServer& server, const std::string& request) {
    RawClient client(server.port());
    EXPECT_TRUE(client.send(request));
    return client.receive();
}

std::string headOf(const std::string& response) {
    return response.substr(0, response.find("\r\n\r\n") + 4);
}

std::string bodyOf(const std::string& response) {
    return response.substr(response.find("\r\n\r\n") + 4);
}

TEST(HttpTestServer, ServesBodyWithLengthAndRecordsRequests) {
    HttpTestServer server;
    server.setBody("hello agent");
    server.setETag("\"v1\"");
    const std::string response = get(
        server, "GET /InstallAgent.zip?x=1 HTTP/1.1\r\nHost: a\r\nIf-None-Match:  \"v0\" \r\n\r\n");

    EXPECT_EQ(response.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << response;
    EXPECT_NE(headOf(response).find("Content-Length: 11\r\n"), std::string::npos);
    EXPECT_NE(headOf(response).find("ETag: \"v1\"\r\n"), std::string::npos);
    EXPECT_EQ(bodyOf(response), "hello agent");
    EXPECT_EQ(server.bodyBytesSent(), 11u);

    const auto head = get(server, "HEAD /other HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_NE(head.find("Content-Length: 11\r\n"), std::string::npos);
    EXPECT_EQ(bodyOf(head), "");

    ASSERT_EQ(server.requestCount(), 2);
    const auto requests = server.requests();
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/InstallAgent.zip?x=1");
    EXPECT_EQ(requests[0].header("if-none-match"), "\"v0\"");
    EXPECT_EQ(requests[1].method, "HEAD");
    EXPECT_FALSE(server.waitForRequests(3, 0.05));
}

TEST(HttpTestServer, ChunkedBodyIsFramedAndTerminated) {
    HttpTestServer server;
    server.setBody(std::string(300000, 'z'));
    server.setChunked(true);
    server.setSlow(100000, 1ms);
    const std::string response = get(server, "GET / HTTP/1.1\r\n\r\n");

    EXPECT_NE(headOf(response).find("Transfer-Encoding: chunked\r\n"), std::string::npos);
    EXPECT_EQ(headOf(response).find("Content-Length"), std::string::npos);
    const std::string chunk = "186a0\r\n" + std::string(100000, 'z') + "\r\n";
    EXPECT_TRUE(bodyOf(response) == chunk + chunk + chunk + "0\r\n\r\n");
    EXPECT_EQ(server.bodyBytesSent(), 300000u);
}

TEST(HttpTestServer, StatusRedirectsAndNotModified) {
    HttpTestServer server;
    server.setETag("\"v1\"");
    server.setHonourIfNoneMatch(true);
    server.addRedirect("/old", "/new", 301);

    const auto redirect = get(server, "GET /old HTTP/1.1\r\n\r\n");
    EXPECT_EQ(redirect.rfind("HTTP/1.1 301 ", 0), 0u);
    EXPECT_NE(redirect.find("Location: /new\r\n"), std::string::npos);

    const auto notModified = get(server, "GET /new HTTP/1.1\r\nIf-None-Match: \"v1\"\r\n\r\n");
    EXPECT_EQ(notModified.rfind("HTTP/1.1 304 ", 0), 0u);
    EXPECT_NE(notModified.find("ETag: \"v1\"\r\n"), std::string::npos);
    EXPECT_EQ(bodyOf(notModified), "");

    server.setStatus(404);
    const auto missing = get(server, "GET /new HTTP/1.1\r\n\r\n");
    EXPECT_EQ(missing.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    EXPECT_EQ(bodyOf(missing), "404 Not Found\n");
}

TEST(HttpTestServer, DropClosesMidBodyAndStallKeepsTheConnectionUntilStopped) {
    auto server = std::make_unique<HttpTestServer>();
    server->setBody(std::string(10000, 'd'));
    server->setDropAfter(4000);
    RawClient dropped(server->port());
    dropped.send("GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(bodyOf(dropped.receive()).size(), 4000u);
    EXPECT_TRUE(dropped.closedByServer);

    server->setDropAfter(std::nullopt);
    server->setStallAfter(1000);
    RawClient stalled(server->port());
    stalled.send("GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(bodyOf(stalled.receive(300ms)).size(), 1000u);
    EXPECT_FALSE(stalled.closedByServer);

    const auto start = std::chrono::steady_clock::now();
    server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(stalled.receive(), "");
    EXPECT_TRUE(stalled.closedByServer);
}

} // namespace
} // namespace qz::test
