#include "download/download_controller_fixture.h"

namespace qz {
namespace {

using test::DownloadController;
using test::FakeTransfer;
using test::FakeWindow;
using test::held;
using test::response;

TEST_F(DownloadController, AKnownLengthShowsDeterminateProgress) {
    controller->downloadDidReceiveResponse(response("\"v1\"", 200));
    EXPECT_EQ(controller->validationString(), "\"v1\"");
    EXPECT_EQ(controller->fileLength(), 200);
    EXPECT_EQ(window.state.activity, platform::Activity::Transferring);
    EXPECT_FALSE(window.state.bar.indeterminate);
    EXPECT_EQ(window.state.bar.maximum, 200.0);
    EXPECT_EQ(window.state.status, "Downloading   0%");
    EXPECT_TRUE(window.state.bar.animating);

    controller->downloadDidReceiveDataOfLength(100);
    EXPECT_EQ(window.state.status, "Downloading  50%");
    EXPECT_EQ(window.state.bar.value, 100);
    controller->downloadDidReceiveDataOfLength(200);
    EXPECT_EQ(window.state.status, "Downloading 150%");
    EXPECT_EQ(controller->bytesReceived(), 300);
    EXPECT_TRUE(stops.empty());
}

TEST_F(DownloadController, AnUnknownLengthPulsesAndLeavesTheStatusAlone) {
    controller->applicationDidFinishLaunching();
    const std::string before = window.state.status;
    controller->downloadDidReceiveResponse(response(std::nullopt, -1));
    EXPECT_TRUE(window.state.bar.indeterminate);
    EXPECT_TRUE(window.state.bar.animating);
    controller->downloadDidReceiveDataOfLength(4096);
    EXPECT_EQ(controller->bytesReceived(), 4096);
    EXPECT_EQ(window.state.status, before);
    EXPECT_EQ(window.state.bar.value, 0);
    EXPECT_EQ(window.state.bytesReceived, 4096);
}

TEST_F(DownloadController, ACurrentCacheEndsTheRunWithTheAgentReady) {
    cacheAgent("\"v1\"");
    controller->applicationDidFinishLaunching();
    controller->downloadDidReceiveResponse(response("\"v1\"", 200));
    EXPECT_EQ(window.closes, 1);
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(stops, std::vector<int>{RUN_AGENT_READY});
    EXPECT_EQ(test::readFile(agentDir + "/install"), "old agent");
}

TEST_F(DownloadController, AStaleCacheIsRemovedAtTheResponse) {
    for (const auto& etag : {std::optional<std::string>("\"v2\""), std::optional<std::string>()}) {
        cacheAgent("\"v1\"");
        controller->downloadDidReceiveResponse(response(etag, 10));
        EXPECT_FALSE(test::pathExists(agentDir));
        EXPECT_TRUE(stops.empty());
        EXPECT_EQ(window.closes, 0);
        test::makeDirectories(agentDir);
    }
}

TEST_F(DownloadController, AFailedTransferIsLoggedOnceAndShownInRed) {
    controller->downloadDidReceiveResponse(response("\"v1\"", 1000));
    controller->downloadDidReceiveDataOfLength(10);
    test::StreamCapture err(STDERR_FILENO);
    controller->downloadDidFailWithError({Failure{"Connection reset by peer"}, "http://h/a.zip"});
    const std::string log = err.release();
    EXPECT_NE(log.find("Download failed! Error - Connection reset by peer http://h/a.zip"),
              std::string::npos);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
    EXPECT_EQ(window.state.status,
              "Error during the download process.\nSee your system log for more information.");
    EXPECT_EQ(window.state.activity, platform::Activity::Failed);
    EXPECT_EQ(window.state.colour, platform::TextColour::Red);
    EXPECT_FALSE(window.state.bar.animating);
    EXPECT_FALSE(window.state.bar.indeterminate);
    EXPECT_EQ(window.state.bar.value, 1000.0);
    EXPECT_EQ(window.closes, 0);
    EXPECT_TRUE(stops.empty());

    window.close();
    EXPECT_EQ(stops, std::vector<int>{RUN_NO_AGENT});
}

TEST_F(DownloadController, NotModifiedCountsAsCurrentWithOrWithoutItsETag) {
    for (const auto& etag : {std::optional<std::string>("\"v1\""), std::optional<std::string>()}) {
        cacheAgent("\"v1\"");
        stops.clear();
        controller = nullptr;
        FakeWindow freshWindow;
        Download fresh(freshWindow, *this, DownloadSettings());
        fresh.downloadFromURL(downloadFrom);
        auto notModified = response(etag, -1);
        notModified.statusCode = 304;
        fresh.downloadDidReceiveResponse(notModified);
        EXPECT_EQ(stops, std::vector<int>{RUN_AGENT_READY});
        EXPECT_EQ(test::readFile(agentDir + "/install"), "old agent");
    }
}

TEST_F(DownloadController, NotModifiedWithoutACurrentCacheIsAFailure) {
    auto notModified = response("\"v9\"", -1);
    notModified.statusCode = 304;
    controller->applicationDidFinishLaunching();
    test::StreamCapture quiet(STDERR_FILENO);
    controller->downloadDidReceiveResponse(notModified);
    quiet.release();
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(window.state.colour, platform::TextColour::Red);
    EXPECT_TRUE(stops.empty());
}

TEST_F(DownloadController, AnETagThatCouldInjectHeaderLinesIsNeitherStoredNorSent) {
    using namespace std::string_literals;
    for (const auto& etag : {"\"a\r\nX-Evil: 1\""s, "\"a\0b\""s, std::string(2000, 'e')}) {
        test::writeZip(downloadTo, {{"install", "agent"}});
        controller->downloadDidReceiveResponse(response(etag, 10));
        EXPECT_EQ(controller->validationString(), "");
        controller->downloadDidFinish();
        EXPECT_FALSE(test::pathExists(cacheDir + ".validatestring"));

        test::writeFile(cacheDir + ".validatestring", etag);
        controller->downloadFromURL(downloadFrom);
        EXPECT_TRUE(requests.back().extraHeaders.empty());
        ::unlink((cacheDir + ".validatestring").c_str());
    }
}

TEST_F(DownloadController, AnAgentInUseIsReplacedOnlyOnceTheCacheIsFree) {
    cacheAgent("\"v1\"");
    platform::FileLock user;
    ASSERT_TRUE(held(user.tryAcquire(cacheDir + ".lock", platform::FileLock::Mode::Shared)));
    controller->applicationDidFinishLaunching();
    ASSERT_EQ(requests.size(), 1u);
    controller->downloadDidReceiveResponse(response("\"v2\"", 10));
    EXPECT_EQ(cancels, 1);
    EXPECT_TRUE(test::pathExists(agentDir + "/install"));
    EXPECT_EQ(window.state.status, WAITING_FOR_CACHE_STATUS);

    user.release();
    delayed.back()();
    ASSERT_EQ(requests.size(), 2u);
    controller->downloadDidReceiveResponse(response("\"v2\"", 10));
    EXPECT_FALSE(test::pathExists(agentDir));
    EXPECT_EQ(window.state.status, "Downloading   0%");
}

TEST(DownloadingStatus, FormatsThePercentageInThreeColumns) {
    EXPECT_EQ(downloadingStatus(0), "Downloading   0%");
    EXPECT_EQ(downloadingStatus(99.6), "Downloading 100%");
    EXPECT_EQ(downloadingStatus(7.2), "Downloading   7%");
}

} // namespace
} // namespace qz
