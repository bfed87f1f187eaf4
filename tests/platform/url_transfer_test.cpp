#include "platform/event_loop.h"
#include "platform/url_transfer.h"
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
namespace {

using namespace std::chrono_literals;

std::string randomBytes(std::size_t size) {
    std::mt19937 generator(static_cast<unsigned>(size));
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(generator());
    }
    return bytes;
}

// A port that nothing listens on (bound once, then released).
std::uint16_t closedPort() {
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

TEST_F(UrlTransferTest, DownloadsABodyWithContentLengthToTheDestination) {
    const std::string body = randomBytes(3 * 1024 * 1024 + 17);
    server.setBody(body);
    server.setETag("\"v1\"");
    UrlTransfer transfer({server.url()}, recorder);
    transfer.setDestination(destination, false);
    EXPECT_TRUE(transfer.running());
    runLoop();

    EXPECT_EQ(recorder.events, (Events{"response", "data", "finish"}));
    EXPECT_EQ(recorder.bytes, body.size());
    EXPECT_TRUE(test::readFile(destination) == body);
    ASSERT_TRUE(recorder.response);
    EXPECT_EQ(recorder.response->statusCode, 200);
    EXPECT_EQ(recorder.response->url, server.url());
    EXPECT_EQ(recorder.response->expectedContentLength, static_cast<std::int64_t>(body.size()));
    EXPECT_EQ(recorder.response->headerField("etag"), "\"v1\"");
    EXPECT_EQ(recorder.response->headerField("ETAG"), "\"v1\"");
    EXPECT_EQ(recorder.response->headerField("Content-Length"), std::to_string(body.size()));
    EXPECT_EQ(recorder.response->headerField("X-Absent"), std::nullopt);
    EXPECT_FALSE(transfer.running());

    transfer.cancel(); // after the end: keeps the file
    EXPECT_TRUE(test::pathExists(destination));
}

TEST_F(UrlTransferTest, StreamsALargeFileBody) {
    const std::string source = scratch / "source.bin";
    const std::string body = randomBytes(32 * 1024 * 1024);
    test::writeFile(source, body);
    server.setBodyFromFile(source);
    UrlTransfer transfer({server.url()}, recorder);
    transfer.setDestination(destination, false);
    runLoop();

    EXPECT_EQ(recorder.events, (Events{"response", "data", "finish"}));
    EXPECT_EQ(recorder.bytes, body.size());
    EXPECT_TRUE(test::readFile(destination) == body);
}

TEST_F(UrlTransferTest, ChunkedBodyHasUnknownLength) {
    const std::string body = randomBytes(700 * 1024);
    server.setBody(body);
    server.setChunked(true);
    UrlTransfer transfer({server.url()}, recorder);
    transfer.setDestination(destination, false);
    runLoop();

    EXPECT_EQ(recorder.events, (Events{"response", "data", "finish"}));
    ASSERT_TRUE(recorder.response);
    EXPECT_EQ(recorder.response->expectedContentLength, -1);
    EXPECT_EQ(recorder.bytes, body.size());
    EXPECT_TRUE(test::readFile(destination) == body);
}

TEST_F(UrlTransferTest, WithoutDestinationDataIsCountedButNotKept) {
    server.setBody(randomBytes(100000));
    UrlTransfer transfer({server.url()}, recorder);
    runLoop();

    EXPECT_EQ(recorder.events, (Events{"response", "data", "finish"}));
    EXPECT_EQ(recorder.bytes, 100000u);
    EXPECT_TRUE(test::listDirectory(scratch.path()).empty());
}

TEST_F(UrlTransferTest, EmptyBodyGivesResponseAndEmptyFile) {
    server.setBody("");
    UrlTransfer transfer({server.url()}, recorder);
    transfer.setDestination(destination, false);
    runLoop();

    EXPECT_EQ(recorder.events, (Events{"response", "finish"}));
    EXPECT_EQ(recorder.response->expectedContentLength, 0);
    ASSERT_TRUE(test::pathExists(destination));
    EXPECT_EQ(test::readFile(destination), "");
}

TEST_F(UrlTransferTest, ErrorStatusesFailWithoutResponseOrFile) {
    server.setBody(randomBytes(1000));
    for (const int status : {404, 500, 403}) {
        SCOPED_TRACE(status);
        server.setStatus(status);
        Recorder failing(loop);
        UrlTransfer transfer({server.url()}, failing);
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
    UrlTransfer transfer({server.url("/first")}, recorder);
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
        UrlTransfer transfer({server.url("/moved")}, failing);
        runLoop();
        EXPECT_EQ(failing.events, Events{"fail"});
        EXPECT_EQ(failing.error->failingURL, server.url("/missing"));
    }
    {
        Recorder failing(loop);
        UrlTransfer transfer({server.url("/loop")}, failing);
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
        UrlTransfer transfer({server.url()}, failing);
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
        UrlTransfer transfer({server.url(), 0.5}, failing);
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
        UrlTransfer transfer({server.url(path), 2.0}, stalled);
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

TEST_F(UrlTransferTest, SlowButSteadyTransferOutlastsTheIdleInterval) {
    const std::string body = randomBytes(10 * 16 * 1024);
    server.setBody(body);
    server.setSlow(16 * 1024, 150ms);
    UrlTransfer transfer({server.url(), 0.5}, recorder);
    transfer.setDestination(destination, false);
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
        UrlTransfer transfer({url}, failing);
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
        UrlTransfer transfer({server.url(path)}, failing);
        transfer.setDestination(destination, true);
        runLoop();

        EXPECT_EQ(failing.events, Events{"fail"});
        ASSERT_TRUE(failing.error);
        EXPECT_NE(failing.error->description.find("redirected"), std::string::npos)
            << failing.error->description;
        EXPECT_FALSE(test::pathExists(destination));
    }
}

TEST_F(UrlTransferTest, ExistingFileIsKeptUnlessOverwriteIsAllowed) {
    server.setBody("new content");
    test::writeFile(destination, "old content");
    {
        Recorder failing(loop);
        UrlTransfer transfer({server.url()}, failing);
        transfer.setDestination(destination, false);
        transfer.setDeletesFileUponFailure(true);
        runLoop();
        EXPECT_EQ(failing.events, (Events{"response", "fail"}));
        EXPECT_NE(failing.error->description.find("File exists"), std::string::npos);
        EXPECT_EQ(test::readFile(destination), "old content");
    }
    UrlTransfer transfer({server.url()}, recorder);
    transfer.setDestination(destination, true);
    runLoop();
    EXPECT_EQ(recorder.events, (Events{"response", "data", "finish"}));
    EXPECT_EQ(test::readFile(destination), "new content");
}

TEST_F(UrlTransferTest, WriteErrorFailsTheTransfer) {
    struct stat device {};
    if (::stat("/dev/full", &device) != 0) {
        GTEST_SKIP() << "no /dev/full";
    }
    server.setBody(randomBytes(4096));
    UrlTransfer transfer({server.url()}, recorder);
    transfer.setDestination("/dev/full", true);
    runLoop();

    ASSERT_TRUE(recorder.error);
    EXPECT_EQ(recorder.events.back(), "fail");
    EXPECT_EQ(recorder.error->description,
              "Could not write the downloaded file: No space left on device");
    struct stat after {};
    ASSERT_EQ(::stat("/dev/full", &after), 0); // a device is never deleted
    EXPECT_TRUE(S_ISCHR(after.st_mode));
}

TEST_F(UrlTransferTest, CancelFromACallbackEndsTheCallbacksAndDeletesTheFile) {
    server.setBody(randomBytes(4 * 1024 * 1024));
    server.setSlow(256 * 1024, 10ms);
    {
        SCOPED_TRACE("cancel in the data callback");
        UrlTransfer transfer({server.url()}, recorder);
        transfer.setDestination(destination, false);
        bool fileRemained = true;
        recorder.onData = [&] {
            transfer.cancel();
            fileRemained = test::pathExists(destination);
            EXPECT_FALSE(transfer.running());
            stopSoon();
        };
        runLoop();
        EXPECT_EQ(recorder.events, (Events{"response", "data"}));
        EXPECT_FALSE(fileRemained);
    }
    {
        SCOPED_TRACE("cancel in the response callback");
        Recorder cancelling(loop);
        UrlTransfer transfer({server.url()}, cancelling);
        transfer.setDestination(destination, false);
        cancelling.onResponse = [&] {
            transfer.cancel();
            stopSoon();
        };
        runLoop();
        EXPECT_EQ(cancelling.events, Events{"response"});
        EXPECT_FALSE(test::pathExists(destination));
    }
}

TEST_F(UrlTransferTest, DelegateMayDestroyTheTransferFromACallback) {
    server.setBody(randomBytes(2 * 1024 * 1024));
    server.setSlow(128 * 1024, 10ms);
    auto transfer = std::make_unique<UrlTransfer>(UrlRequest{server.url()}, recorder);
    transfer->setDestination(destination, false);
    recorder.onData = [&] {
        transfer.reset();
        stopSoon();
    };
    runLoop();

    EXPECT_EQ(recorder.events, (Events{"response", "data"}));
    EXPECT_FALSE(test::pathExists(destination));
}

TEST_F(UrlTransferTest, IfNoneMatchIsSentAndNotModifiedFinishesWithoutBody) {
    server.setBody("agent v1");
    server.setETag("\"v1\"");
    server.setHonourIfNoneMatch(true);
    {
        test::writeFile(destination, "cached agent");
        Recorder cached(loop);
        UrlTransfer transfer({server.url(), 60, {{"If-None-Match", "\"v1\""}}}, cached);
        transfer.setDestination(destination, true);
        runLoop();

        EXPECT_EQ(cached.events, (Events{"response", "finish"}));
        ASSERT_TRUE(cached.response);
        EXPECT_EQ(cached.response->statusCode, 304);
        EXPECT_EQ(cached.response->headerField("ETag"), "\"v1\"");
        EXPECT_EQ(test::readFile(destination), "cached agent"); // left alone
        ASSERT_EQ(server.requestCount(), 1);
        EXPECT_EQ(server.requests()[0].header("if-none-match"), "\"v1\"");
    }
    UrlTransfer transfer({server.url(), 60, {{"If-None-Match", "\"v0\""}}}, recorder);
    transfer.setDestination(destination, true);
    runLoop();
    EXPECT_EQ(recorder.events, (Events{"response", "data", "finish"}));
    EXPECT_EQ(recorder.response->statusCode, 200);
    EXPECT_EQ(test::readFile(destination), "agent v1");
}

} // namespace
} // namespace qz::platform
