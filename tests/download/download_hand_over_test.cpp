#include "download/download_controller_fixture.h"

namespace qz {
namespace {

using test::DownloadController;
using test::FakeTransfer;
using test::FakeWindow;
using test::held;
using test::response;

TEST_F(DownloadController, ACompletedDownloadIsUnpackedIntoTheCacheThenRecorded) {
    test::writeZip(downloadTo, {{"install", "new agent"}, {"lib/x", "x"}});
    controller->applicationDidFinishLaunching();
    controller->downloadDidReceiveResponse(response("\"v2\"", 100));
    controller->downloadDidFinish();
    EXPECT_EQ(test::readFile(agentDir + "/install"), "new agent");
    EXPECT_EQ(test::readFile(cacheDir + ".validatestring"), "\"v2\"");
    EXPECT_EQ(installAgentDirOnDisk(), agentDir + "/");
    EXPECT_EQ(window.state.activity, platform::Activity::HandingOver);
    EXPECT_FALSE(window.state.cancelEnabled);
    EXPECT_EQ(window.state.status, "Initializing the installer");
    EXPECT_EQ(window.closes, 1);
    EXPECT_EQ(stops, std::vector<int>{RUN_AGENT_READY});
    // Only the install agent and its validation string remain in the cache.
    EXPECT_EQ(test::listDirectory(cacheDir),
              (std::vector<std::string>{".lock", ".validatestring", "installagent"}));
}

TEST_F(DownloadController, AFailedUnpackLeavesNoCacheThatCouldBeTakenAsCurrent) {
    const std::vector<std::string> brokenArchives = {
        "PK\x03\x04 not an archive",
        test::makeZip({{"not-install", "x"}}),
    };
    for (const auto& bytes : brokenArchives) {
        test::writeFile(downloadTo, bytes);
        controller->downloadDidReceiveResponse(response("\"v3\"", 100));
        test::StreamCapture quiet(STDERR_FILENO);
        controller->downloadDidFinish();
        quiet.release();
        EXPECT_EQ(window.state.status, "Failed to unzip the installer.");
        EXPECT_EQ(window.state.colour, platform::TextColour::Red);
        EXPECT_FALSE(window.state.cancelEnabled);
        EXPECT_EQ(installAgentDirOnDisk(), "");
        EXPECT_FALSE(test::pathExists(cacheDir + ".validatestring"));
        for (const auto& name : test::listDirectory(cacheDir)) {
            EXPECT_EQ(name.find(".unpack"), std::string::npos) << name;
        }
        EXPECT_TRUE(stops.empty());
    }
}

TEST_F(DownloadController, WithoutAnETagNothingIsRecorded) {
    test::writeZip(downloadTo, {{"install", "agent"}});
    controller->downloadDidReceiveResponse(response(std::nullopt, -1));
    controller->downloadDidFinish();
    EXPECT_EQ(installAgentDirOnDisk(), agentDir + "/");
    EXPECT_FALSE(test::pathExists(cacheDir + ".validatestring"));
    EXPECT_EQ(stops, std::vector<int>{RUN_AGENT_READY});
}

TEST_F(DownloadController, AFoundAgentKeepsTheCacheSharedAfterTheRun) {
    cacheAgent("\"v1\"");
    controller->applicationDidFinishLaunching();
    controller->downloadDidReceiveResponse(response("\"v1\"", 10));
    ASSERT_EQ(stops, std::vector<int>{RUN_AGENT_READY});
    controller = nullptr;
    platform::FileLock other;
    EXPECT_FALSE(held(other.tryAcquire(cacheDir + ".lock", platform::FileLock::Mode::Exclusive)));
    EXPECT_TRUE(held(other.tryAcquire(cacheDir + ".lock", platform::FileLock::Mode::Shared)));
}

TEST_F(DownloadController, ClosingWhileUnpackingStopsOnceTheUnpackingEnded) {
    test::writeZip(downloadTo, {{"install", "agent"}});
    holdBackground = true;
    controller->applicationDidFinishLaunching();
    controller->downloadDidReceiveResponse(response("\"v2\"", 10));
    controller->downloadDidFinish();
    window.close();
    EXPECT_TRUE(stops.empty());
    runBackground();
    EXPECT_EQ(stops, std::vector<int>{RUN_NO_AGENT});
}

TEST_F(DownloadController, AnUntrustedCacheIsNeitherReadNorWritten) {
    cacheAgent("\"v1\"");
    ::chmod(cacheDir.c_str(), 0777);
    test::writeZip(downloadTo, {{"install", "new agent"}});
    controller = nullptr;
    controller = std::make_unique<Download>(window, *this, DownloadSettings());
    controller->applicationDidFinishLaunching();
    EXPECT_TRUE(requests.back().extraHeaders.empty());
    controller->downloadDidReceiveResponse(response("\"v1\"", 10));
    EXPECT_EQ(test::readFile(agentDir + "/install"), "old agent");
    controller->downloadDidFinish();
    EXPECT_EQ(stops, std::vector<int>{RUN_AGENT_READY});
    EXPECT_EQ(test::readFile(agentDir + "/install"), "old agent");
    EXPECT_EQ(test::listDirectory(cacheDir),
              (std::vector<std::string>{".validatestring", "installagent"}));
}

} // namespace
} // namespace qz
