#include "download/download_controller_fixture.h"

namespace qz {
namespace {

using test::DownloadController;
using test::FakeTransfer;
using test::FakeWindow;
using test::held;
using test::response;

TEST_F(DownloadController, LaunchStartsOneTransferOfTheUrlIntoTheDestination) {
    controller->applicationDidFinishLaunching();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].url, downloadFrom);
    EXPECT_EQ(requests[0].timeoutInterval, 60.0);
    EXPECT_EQ(destinations[0], scratch / "InstallAgent.zip");
    EXPECT_EQ(controller->installAgentLocation(), scratch / "InstallAgent.zip");
    EXPECT_GT(window.shows, 0);
    EXPECT_EQ(window.state.bar.value, 0);
}

TEST_F(DownloadController, ClosingCancelsTheTransferAndStopsOnce) {
    controller->applicationDidFinishLaunching();
    window.close();
    window.close();
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(stops, std::vector<int>{RUN_NO_AGENT});
}

TEST_F(DownloadController, ClosingBeforeAnyTransferStillStops) {
    window.close();
    EXPECT_EQ(stops, std::vector<int>{RUN_NO_AGENT});
}

TEST_F(DownloadController, TheRequestAsksForTheArchiveOnlyWhenTheCachedOneChanged) {
    controller->applicationDidFinishLaunching();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].extraHeaders.empty());

    cacheAgent("\"v1\"");
    controller->downloadFromURL(downloadFrom);
    ASSERT_EQ(requests.size(), 2u);
    using Header = std::pair<std::string, std::string>;
    EXPECT_EQ(requests[1].extraHeaders, (std::vector<Header>{{"If-None-Match", "\"v1\""}}));
}

TEST_F(DownloadController, ARunWaitsWhileAnotherHoldsTheCache) {
    platform::FileLock other;
    ASSERT_TRUE(held(other.tryAcquire(cacheDir + ".lock")));
    controller->applicationDidFinishLaunching();
    EXPECT_EQ(window.state.activity, platform::Activity::Waiting);
    EXPECT_EQ(window.state.status, WAITING_FOR_CACHE_STATUS);
    EXPECT_TRUE(requests.empty());
    ASSERT_EQ(delayed.size(), 1u);
    delayed[0]();
    EXPECT_TRUE(requests.empty());
    ASSERT_EQ(delayed.size(), 2u);

    // What the other run left half done is cleared once the cache is ours.
    test::makeDirectories(cacheDir + "installagent.unpack-AbC123/lib");
    test::makeDirectories(cacheDir + "installagent.old-XyZ789");
    other.release();
    delayed[1]();
    EXPECT_EQ(requests.size(), 1u);
    EXPECT_EQ(window.state.activity, platform::Activity::Starting);
    EXPECT_EQ(window.state.status, "");
    EXPECT_EQ(test::listDirectory(cacheDir), (std::vector<std::string>{".lock", "installagent"}));
}

TEST_F(DownloadController, ClosingWhileWaitingForTheCacheStopsWaiting) {
    platform::FileLock other;
    ASSERT_TRUE(held(other.tryAcquire(cacheDir + ".lock")));
    controller->applicationDidFinishLaunching();
    window.close();
    EXPECT_EQ(cancelledCalls, 1);
    EXPECT_EQ(stops, std::vector<int>{RUN_NO_AGENT});
}

TEST_F(DownloadController, TheFieldsHaveSettersAndA304WithoutATransferIsSafe) {
    controller->setFileLength(200);
    controller->setBytesReceived(50);
    controller->downloadDidReceiveDataOfLength(50);
    EXPECT_EQ(window.state.status, "Downloading  50%");
    controller->setValidationString("\"v7\"");
    EXPECT_EQ(controller->validationString(), "\"v7\"");

    auto notModified = response("\"v9\"", -1);
    notModified.statusCode = 304;
    test::StreamCapture quiet(STDERR_FILENO);
    controller->downloadDidReceiveResponse(notModified);
    quiet.release();
    EXPECT_EQ(window.state.colour, platform::TextColour::Red);

    FakeWindow other;
    controller->setWindow(&other);
    EXPECT_EQ(controller->window(), &other);
    other.close();
    EXPECT_EQ(stops, std::vector<int>{RUN_NO_AGENT});
    controller->setWindow(&window);
}

TEST_F(DownloadController, WithoutABundleOnlyAWindowNoOneCanCloseEndsTheRun) {
    bundle.reset();
    controller->applicationDidFinishLaunching();
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(window.state.status, "");
    window.closable = false;
    controller->applicationDidFinishLaunching();
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(window.state.status, NO_BUNDLE_STATUS);
    EXPECT_EQ(window.state.colour, platform::TextColour::Red);
}

} // namespace
} // namespace qz
