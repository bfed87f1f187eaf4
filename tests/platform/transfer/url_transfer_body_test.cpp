#include "platform/system/event_loop.h"
#include "platform/transfer/small_file_fetch.h"
#include "platform/transfer/url_transfer.h"
#include "support/files.h"
#include "support/http_test_server.h"

#include <gtest/gtest.h>

namespace qz::platform {
namespace {

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
        failure = error.description;
        loop_.stop(0);
    }

    bool responded = false;
    bool finished = false;
    std::string failure;

  private:
    EventLoop& loop_;
};

class TransferBodyOptions : public ::testing::Test {
  protected:
    void runLoop() {
        const unsigned guard = loop.callLater(8, [this] { loop.stop(-1); });
        ASSERT_NE(loop.run(), -1) << "the transfer never ended";
        loop.cancelCall(guard);
    }

    test::HttpTestServer server;
    test::ScratchDir scratch;
    EventLoop loop;
    Outcome outcome{loop};
    const std::string destination = scratch / "InstallAgent.zip";
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

TEST_F(TransferBodyOptions, ABodyOfExactlyTheMaximumIsWhole) {
    server.setBody(body);
    server.setChunked(true);
    UrlTransfer transfer(loop, {server.url()}, outcome);
    transfer.setDestination(destination, false);
    transfer.setMaximumBodyLength(body.size());
    runLoop();

    ASSERT_TRUE(outcome.finished) << outcome.failure;
    EXPECT_EQ(test::readFile(destination).size(), body.size());
}

// A fetch's outcome: the body, or the reason.
struct Fetched {
    bool done = false;
    std::string body;
    std::string failure;
};

class SmallFileFetchTest : public TransferBodyOptions {
  protected:
    Fetched fetch(const std::string& url, std::uint64_t limit) {
        Fetched fetched;
        SmallFileFetch fetch(loop, {url}, limit, [&](std::variant<std::string, UrlError> got) {
            fetched.done = true;
            if (const auto* error = std::get_if<UrlError>(&got)) {
                fetched.failure = error->description + " (" + error->failingURL + ")";
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
