#include "platform/transfer/url_transfer_fixture.h"

#include "platform/transfer/retrying_transfer.h"

namespace qz::platform {
namespace {

TEST_F(UrlTransferTest, CancelFromACallbackEndsTheCallbacksAndDeletesTheFile) {
    server.setBody(randomBytes(4 * 1024 * 1024));
    server.setSlow(256 * 1024, 10ms);
    {
        SCOPED_TRACE("cancel in the data callback");
        UrlTransfer transfer(loop, {server.url()}, recorder);
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
        UrlTransfer transfer(loop, {server.url()}, cancelling);
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
    auto transfer = std::make_unique<UrlTransfer>(loop, UrlRequest{server.url()}, recorder);
    transfer->setDestination(destination, false);
    recorder.onData = [&] {
        transfer.reset();
        stopSoon();
    };
    runLoop();

    EXPECT_EQ(recorder.events, (Events{"response", "data"}));
    EXPECT_FALSE(test::pathExists(destination));
}

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
        EXPECT_EQ(failing.error->description.reason(),
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
        EXPECT_FALSE(failing.error->description.reason().empty());
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
        EXPECT_EQ(failing.error->description.reason(), "The request timed out.");
        EXPECT_GE(elapsed, 450ms);
        EXPECT_LT(elapsed, 3s);
        EXPECT_FALSE(test::pathExists(destination));
    }
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
        EXPECT_FALSE(failing.error->description.reason().empty());
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
        EXPECT_NE(failing.error->description.reason().find("redirected"), std::string::npos)
            << failing.error->description.reason();
        EXPECT_FALSE(test::pathExists(destination));
    }
}

// A fetch's outcome: the body, or the reason.
struct Fetched {
    bool done = false;
    std::string body;
    std::string failure;
};

class SmallFileFetchTest : public UrlTransferTest {
  protected:
    Fetched fetch(const std::string& url, std::uint64_t limit) {
        Fetched fetched;
        SmallFileFetch fetch(loop, {url}, limit, [&](std::variant<std::string, UrlError> got) {
            fetched.done = true;
            if (const auto* error = std::get_if<UrlError>(&got)) {
                fetched.failure = error->description.reason() + " (" + error->failingURL + ")";
            } else {
                fetched.body = std::get<std::string>(got);
            }
            loop.stop(0);
        });
        runLoop();
        return fetched;
    }
};

TEST_F(SmallFileFetchTest, FetchesIntoMemoryAfterRedirects) {
    server.setBody("untrusted comment: x\n");
    server.addRedirect("/InstallAgent.zip.minisig", "/elsewhere.minisig");
    const auto fetched = fetch(server.url("/InstallAgent.zip.minisig"), 16384);
    EXPECT_TRUE(fetched.done);
    EXPECT_EQ(fetched.body, "untrusted comment: x\n");
    EXPECT_EQ(fetched.failure, "");
    EXPECT_TRUE(test::listDirectory(scratch.path()).empty());
}

TEST_F(SmallFileFetchTest, ALongerBodyOrAnErrorStatusIsAFailure) {
    server.setBody(std::string(16385, 's'));
    EXPECT_EQ(fetch(server.url(), 16384).failure,
              "The server announced 16385 bytes, more than the 16384 bytes expected. (" +
                  server.url() + ")");
    server.setChunked(true);
    EXPECT_EQ(fetch(server.url(), 16384).failure,
              "The server sent more than the 16384 bytes expected. (" + server.url() + ")");
    server.setStatus(404);
    EXPECT_EQ(fetch(server.url(), 16384).failure,
              "The server answered with HTTP status 404. (" + server.url() + ")");
    server.setBody("sig");
    server.setStatus(203);
    EXPECT_EQ(fetch(server.url(), 16384).body, "sig");
    server.setStatus(304);
    EXPECT_EQ(fetch(server.url(), 16384).failure,
              "The server answered with HTTP status 304. (" + server.url() + ")");
}

} // namespace
} // namespace qz::platform
