// The response side through whole transfers: the body and its file, the final response's header
// fields, and the body's options.
#include "platform/transfer/url_transfer_fixture.h"

#include <thread>

namespace qz::platform {
namespace {

TEST_F(UrlTransferTest, DownloadsABodyWithContentLengthToTheDestination) {
    const std::string body = randomBytes(3 * 1024 * 1024 + 17);
    server.setBody(body);
    server.setETag("\"v1\"");
    UrlTransfer transfer(loop, {server.url()}, recorder);
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
    UrlTransfer transfer(loop, {server.url()}, recorder);
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
    UrlTransfer transfer(loop, {server.url()}, recorder);
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
    UrlTransfer transfer(loop, {server.url()}, recorder);
    runLoop();

    EXPECT_EQ(recorder.events, (Events{"response", "data", "finish"}));
    EXPECT_EQ(recorder.bytes, 100000u);
    EXPECT_TRUE(test::listDirectory(scratch.path()).empty());
}

TEST_F(UrlTransferTest, EmptyBodyGivesResponseAndEmptyFile) {
    server.setBody("");
    UrlTransfer transfer(loop, {server.url()}, recorder);
    transfer.setDestination(destination, false);
    runLoop();

    EXPECT_EQ(recorder.events, (Events{"response", "finish"}));
    EXPECT_EQ(recorder.response->expectedContentLength, 0);
    ASSERT_TRUE(test::pathExists(destination));
    EXPECT_EQ(test::readFile(destination), "");
}

TEST_F(UrlTransferTest, ExistingFileIsKeptUnlessOverwriteIsAllowed) {
    server.setBody("new content");
    test::writeFile(destination, "old content");
    {
        Recorder failing(loop);
        UrlTransfer transfer(loop, {server.url()}, failing);
        transfer.setDestination(destination, false);
        transfer.setDeletesFileUponFailure(true);
        runLoop();
        EXPECT_EQ(failing.events, (Events{"response", "fail"}));
        EXPECT_NE(failing.error->description.reason().find("File exists"), std::string::npos);
        EXPECT_EQ(test::readFile(destination), "old content");
    }
    UrlTransfer transfer(loop, {server.url()}, recorder);
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
    UrlTransfer transfer(loop, {server.url()}, recorder);
    transfer.setDestination("/dev/full", true);
    runLoop();

    ASSERT_TRUE(recorder.error);
    EXPECT_EQ(recorder.events.back(), "fail");
    EXPECT_EQ(recorder.error->description.reason(),
              "Could not write the downloaded file: No space left on device");
    EXPECT_EQ(recorder.error->description.error(), ENOSPC);
    struct stat after {};
    ASSERT_EQ(::stat("/dev/full", &after), 0); // a device is never deleted
    EXPECT_TRUE(S_ISCHR(after.st_mode));
}

TEST_F(UrlTransferTest, IfNoneMatchIsSentAndNotModifiedFinishesWithoutBody) {
    server.setBody("agent v1");
    server.setETag("\"v1\"");
    server.setHonourIfNoneMatch(true);
    {
        test::writeFile(destination, "cached agent");
        Recorder cached(loop);
        UrlTransfer transfer(loop, {server.url(), 60, {{"If-None-Match", "\"v1\""}}}, cached);
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
    UrlTransfer transfer(loop, {server.url(), 60, {{"If-None-Match", "\"v0\""}}}, recorder);
    transfer.setDestination(destination, true);
    runLoop();
    EXPECT_EQ(recorder.events, (Events{"response", "data", "finish"}));
    EXPECT_EQ(recorder.response->statusCode, 200);
    EXPECT_EQ(test::readFile(destination), "agent v1");
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

// Notes how the transfer ended; the end stops the loop.
class Outcome : public UrlTransferDelegate {
  public:
    explicit Outcome(EventLoop& loop) : loop_(loop) {}
    void transferDidReceiveResponse(const UrlResponse& /*response*/) override {
        responded = true;
    }
    void transferDidReceiveData(std::uint64_t /*length*/) override {}
    void transferDidFinish() override {
        finished = true;
        loop_.stop(0);
    }
    void transferDidFail(const UrlError& error) override {
        failure = error.description.reason();
        loop_.stop(0);
    }

    bool responded = false;
    bool finished = false;
    std::string failure;

  private:
    EventLoop& loop_;
};

class TransferBodyOptions : public UrlTransferTest {
  protected:
    Outcome outcome{loop};
    const std::string body = std::string(3 * 1024 * 1024 + 17, 'b') + "end";
};

TEST_F(TransferBodyOptions, TheBodyIsHashedAsItIsWritten) {
    server.setBody(body);
    UrlTransfer transfer(loop, {server.url()}, outcome);
    transfer.setDestination(destination, false);
    transfer.setHashesBody(true);
    runLoop();

    ASSERT_TRUE(outcome.finished) << outcome.failure;
    EXPECT_TRUE(test::readFile(destination) == body);
    EXPECT_EQ(transfer.bodyLength(), body.size());
    const auto digest = transfer.bodyDigest();
    ASSERT_TRUE(digest) << digest.reason();
    const auto expected = hashFile(destination);
    ASSERT_TRUE(expected);
    EXPECT_EQ(*digest, expected->digest);
    EXPECT_TRUE(transfer.body().empty()); // not kept unless asked for
}

TEST_F(TransferBodyOptions, WithoutTheOptionsNothingIsHashedOrLimited) {
    server.setBody(body);
    UrlTransfer transfer(loop, {server.url()}, outcome);
    transfer.setDestination(destination, false);
    runLoop();

    ASSERT_TRUE(outcome.finished) << outcome.failure;
    EXPECT_FALSE(transfer.bodyDigest());
    EXPECT_EQ(test::readFile(destination).size(), body.size());
}

TEST_F(TransferBodyOptions, AnAnnouncedLengthOverTheMaximumFailsBeforeTheBody) {
    server.setBody(body);
    UrlTransfer transfer(loop, {server.url()}, outcome);
    transfer.setDestination(destination, false);
    transfer.setMaximumBodyLength(body.size() - 1);
    runLoop();

    EXPECT_FALSE(outcome.responded);
    EXPECT_EQ(outcome.failure, "The server announced " + std::to_string(body.size()) +
                                   " bytes, more than the " + std::to_string(body.size() - 1) +
                                   " bytes expected.");
    EXPECT_EQ(transfer.bodyLength(), 0u);
    EXPECT_FALSE(test::pathExists(destination));
}

TEST_F(TransferBodyOptions, ABodyPassingTheMaximumStopsTheTransferAndIsDeleted) {
    server.setBody(body);
    server.setChunked(true); // no length announced
    UrlTransfer transfer(loop, {server.url()}, outcome);
    transfer.setDestination(destination, false);
    transfer.setMaximumBodyLength(100000);
    runLoop();

    EXPECT_EQ(outcome.failure, "The server sent more than the 100000 bytes expected.");
    EXPECT_LE(transfer.bodyLength(), 100000u);
    EXPECT_FALSE(test::pathExists(destination));
}

TEST_F(TransferBodyOptions, ABodyOfExactlyTheMaximumIsWholeAnnouncedOrNot) {
    server.setBody(body);
    for (const bool chunked : {true, false}) {
        SCOPED_TRACE(chunked ? "no length announced" : "its length announced");
        server.setChunked(chunked);
        Outcome each{loop};
        ::unlink(destination.c_str());
        UrlTransfer transfer(loop, {server.url()}, each);
        transfer.setDestination(destination, false);
        transfer.setMaximumBodyLength(body.size());
        runLoop();

        ASSERT_TRUE(each.finished) << each.failure;
        EXPECT_EQ(test::readFile(destination).size(), body.size());
    }
}

} // namespace
} // namespace qz::platform
