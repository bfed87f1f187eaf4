#include "platform/transfer/url_transfer_fixture.h"

namespace qz::platform {
namespace {

using namespace std::chrono_literals;

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
        EXPECT_NE(failing.error->description.find("File exists"), std::string::npos);
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

} // namespace
} // namespace qz::platform
