#include "platform/transfer/url_transfer_fixture.h"

#include <thread>

namespace qz::platform {
namespace {

using namespace std::chrono_literals;

TEST_F(UrlTransferTest, ErrorStatusesFailWithoutResponseOrFile) {
    server.setBody(randomBytes(1000));
    for (const int status : {404, 500, 403}) {
        SCOPED_TRACE(status);
        server.setStatus(status);
        Recorder failing(loop);
        UrlTransfer transfer(loop, {server.url()}, failing);
        transfer.setDestination(destination, true);
        runLoop();

        EXPECT_EQ(failing.events, Events{"fail"});
        ASSERT_TRUE(failing.error);
        EXPECT_EQ(failing.error->description,
                  "The server answered with HTTP status " + std::to_string(status) + ".");
        EXPECT_EQ(failing.error->failingURL, server.url());
        EXPECT_FALSE(test::pathExists(destination));
    }
}

TEST_F(UrlTransferTest, FollowsRedirectsAndReportsTheFinalResponse) {
    const std::string body = randomBytes(5000);
    server.setBody(body);
    server.setETag("\"final\"");
    server.addRedirect("/first", server.url("/second"), 301);
    server.addRedirect("/second", "/InstallAgent.zip", 307);
    UrlTransfer transfer(loop, {server.url("/first")}, recorder);
    transfer.setDestination(destination, false);
    runLoop();

    EXPECT_EQ(recorder.events, (Events{"response", "data", "finish"}));
    ASSERT_TRUE(recorder.response);
    EXPECT_EQ(recorder.response->statusCode, 200);
    EXPECT_EQ(recorder.response->url, server.url());
    EXPECT_EQ(recorder.response->headerField("Location"), std::nullopt);
    EXPECT_EQ(recorder.response->headerField("ETag"), "\"final\"");
    EXPECT_EQ(recorder.response->expectedContentLength, 5000);
    EXPECT_TRUE(test::readFile(destination) == body);
    EXPECT_EQ(server.requestCount(), 3);
}

TEST_F(UrlTransferTest, RedirectToAnErrorOrInCirclesFails) {
    server.addRedirect("/moved", "/gone");
    server.addRedirect("/gone", "/missing");
    server.addRedirect("/loop", "/loop");
    {
        server.setStatus(404);
        Recorder failing(loop);
        UrlTransfer transfer(loop, {server.url("/moved")}, failing);
        runLoop();
        EXPECT_EQ(failing.events, Events{"fail"});
        EXPECT_EQ(failing.error->failingURL, server.url("/missing"));
    }
    {
        Recorder failing(loop);
        UrlTransfer transfer(loop, {server.url("/loop")}, failing);
        runLoop();
        EXPECT_EQ(failing.events, Events{"fail"});
        EXPECT_LE(server.requestCount(), 3 + 11);
    }
}

TEST_F(UrlTransferTest, ConnectionDroppedHalfWayFails) {
    const std::string body = randomBytes(1024 * 1024);
    server.setBody(body);
    server.setDropAfter(body.size() / 2);
    for (const bool deletes : {true, false}) {
        SCOPED_TRACE(deletes);
        Recorder failing(loop);
        UrlTransfer transfer(loop, {server.url()}, failing);
        transfer.setDestination(destination, true);
        transfer.setDeletesFileUponFailure(deletes);
        runLoop();

        EXPECT_EQ(failing.events, (Events{"response", "data", "fail"}));
        EXPECT_LE(failing.bytes, body.size() / 2);
        EXPECT_FALSE(failing.error->description.empty());
        EXPECT_EQ(failing.error->failingURL, server.url());
        EXPECT_EQ(test::pathExists(destination), !deletes);
    }
}

TEST_F(UrlTransferTest, StalledServerTimesOutAfterTheIdleInterval) {
    server.setBody(randomBytes(256 * 1024));
    for (const std::size_t stallAfter : {std::size_t{64 * 1024}, std::size_t{0}}) {
        SCOPED_TRACE(stallAfter);
        server.setStallAfter(stallAfter);
        Recorder failing(loop);
        UrlTransfer transfer(loop, {server.url(), 0.5}, failing);
        transfer.setDestination(destination, true);
        transfer.setDeletesFileUponFailure(true);
        const auto start = std::chrono::steady_clock::now();
        runLoop();
        const auto elapsed = std::chrono::steady_clock::now() - start;

        const Events expected =
            stallAfter > 0 ? Events{"response", "data", "fail"} : Events{"response", "fail"};
        EXPECT_EQ(failing.events, expected);
        ASSERT_TRUE(failing.error);
        EXPECT_EQ(failing.error->description, "The request timed out.");
        EXPECT_GE(elapsed, 450ms);
        EXPECT_LT(elapsed, 3s);
        EXPECT_FALSE(test::pathExists(destination));
    }
}

TEST_F(UrlTransferTest, TheFinalResponseArrivesWithItsHeadersBeforeAnyBody) {
    server.setBody(randomBytes(4096));
    server.setETag("\"v2\"");
    server.setStallAfter(0);
    server.addRedirect("/first", server.url("/second"), 301);
    server.addRedirect("/second", "/InstallAgent.zip", 302);
    for (const std::string path : {"/InstallAgent.zip", "/first"}) {
        SCOPED_TRACE(path);
        Recorder stalled(loop);
        UrlTransfer transfer(loop, {server.url(path), 2.0}, stalled);
        transfer.setDestination(destination, true);
        bool fileExisted = true;
        stalled.onResponse = [&] {
            fileExisted = test::pathExists(destination);
            transfer.cancel();
            stopSoon();
        };
        runLoop();

        EXPECT_EQ(stalled.events, Events{"response"});
        ASSERT_TRUE(stalled.response);
        EXPECT_EQ(stalled.response->statusCode, 200);
        EXPECT_EQ(stalled.response->url, server.url());
        EXPECT_EQ(stalled.response->headerField("ETag"), "\"v2\"");
        EXPECT_EQ(stalled.response->headerField("Location"), std::nullopt);
        EXPECT_EQ(stalled.response->expectedContentLength, 4096);
        EXPECT_FALSE(fileExisted);
    }
}

// A reply that libmicrohttpd cannot make: an interim response, then fields in any case, padded
// and folded.
TEST_F(UrlTransferTest, OnlyTheFinalResponsesFieldsComeTrimmedAndFoundInAnyCase) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::thread server([listener] {
        const int connection = ::accept(listener, nullptr, nullptr);
        char request[4096];
        static_cast<void>(::recv(connection, request, sizeof request, 0)); // a short GET
        const std::string reply =
            "HTTP/1.1 103 Early Hints\r\nLink: </a.css>\r\nETag: \"early\"\r\n\r\n"
            "HTTP/1.1 200 OK\r\netag:   \"v3\"  \r\nX-Long: first\r\n  second\r\n"
            "Empty:  \r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
        static_cast<void>(::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL));
        ::close(connection);
    });
    UrlTransfer transfer(loop, {"http://127.0.0.1:" + std::to_string(ntohs(address.sin_port))},
                         recorder);
    runLoop();
    server.join();
    ::close(listener);

    EXPECT_EQ(recorder.events, (Events{"response", "data", "finish"}));
    ASSERT_TRUE(recorder.response);
    EXPECT_EQ(recorder.response->headerField("ETag"), "\"v3\"");
    EXPECT_EQ(recorder.response->headerField("x-long"), "first second");
    EXPECT_EQ(recorder.response->headerField("EMPTY"), "");
    EXPECT_EQ(recorder.response->headerField("Link"), std::nullopt);
}

TEST_F(UrlTransferTest, SlowButSteadyTransferOutlastsTheIdleInterval) {
    constexpr std::size_t piece = 16 * 1024;
    const std::string body = randomBytes(10 * piece);
    server.setBody(body);
    server.setPaced(piece);
    UrlTransfer transfer(loop, {server.url(), 0.5}, recorder);
    transfer.setDestination(destination, false);
    // Each piece is released 0.15 s after the one before it has arrived, from the loop that also
    // runs the idle time-out: its delayed calls run in the order of their time, so the release
    // always comes first, and ten pieces outlast the idle interval three times.
    std::uint64_t released = 0;
    recorder.onData = [&] {
        if (recorder.bytes == (released + 1) * piece && recorder.bytes < body.size()) {
            ++released;
            loop.callLater(0.15, [&] { server.releasePiece(); });
        }
    };
    const auto start = std::chrono::steady_clock::now();
    runLoop();

    EXPECT_GT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(recorder.events, (Events{"response", "data", "finish"}));
    EXPECT_TRUE(test::readFile(destination) == body);
}

TEST_F(UrlTransferTest, UnusableUrlsFailWithoutResponse) {
    const std::string refused = "http://127.0.0.1:" + std::to_string(closedPort()) + "/x";
    for (const std::string& url : {std::string(), std::string("not a url"), std::string("http://"),
                                   refused, std::string("ftp://127.0.0.1/x"),
                                   std::string("file:///etc/hostname"), server.url("/ok") + "\n"}) {
        SCOPED_TRACE(url);
        Recorder failing(loop);
        UrlTransfer transfer(loop, {url}, failing);
        transfer.setDestination(destination, true);
        runLoop();

        EXPECT_EQ(failing.events, Events{"fail"});
        ASSERT_TRUE(failing.error);
        EXPECT_FALSE(failing.error->description.empty());
        EXPECT_FALSE(test::pathExists(destination));
    }
    EXPECT_EQ(server.requestCount(), 0);
}

TEST_F(UrlTransferTest, RedirectsOnlyGoToHttpOrHttps) {
    server.setBody("secret");
    server.addRedirect("/to-file", "file:///etc/hostname");
    server.addRedirect("/to-ftp", "ftp://127.0.0.1:" + std::to_string(server.port()) + "/x");
    for (const std::string path : {"/to-file", "/to-ftp"}) {
        SCOPED_TRACE(path);
        Recorder failing(loop);
        UrlTransfer transfer(loop, {server.url(path)}, failing);
        transfer.setDestination(destination, true);
        runLoop();

        EXPECT_EQ(failing.events, Events{"fail"});
        ASSERT_TRUE(failing.error);
        EXPECT_NE(failing.error->description.find("redirected"), std::string::npos)
            << failing.error->description;
        EXPECT_FALSE(test::pathExists(destination));
    }
}

} // namespace
} // namespace qz::platform
