#include "download/download_controller.h"

#include "download/download_entry.h"
#include "provisioning/install_agent_locations.h"
#include "support/env_guard.h"
#include "support/files.h"
#include "support/zip_builder.h"

#include "platform/file_lock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace qz {
namespace {

// Keeps the last state shown.
struct FakeWindow : platform::DownloadWindow {
    platform::DownloadWindowDelegate* delegate = nullptr;
    platform::WindowState state;
    int shows = 0;
    int closes = 0;
    bool closable = true;

    void setDelegate(platform::DownloadWindowDelegate* d) override {
        delegate = d;
    }
    void show(const platform::WindowState& s) override {
        state = s;
        ++shows;
    }
    bool closableByUser() override {
        return closable;
    }
    void close() override {
        ++closes;
        if (delegate != nullptr) {
            delegate->windowWillClose();
        }
    }
};

struct FakeTransfer : Transfer {
    int* cancels;
    explicit FakeTransfer(int* c) : cancels(c) {}
    void cancel() override {
        ++*cancels;
    }
};

bool held(const Result<bool>& acquired) {
    return acquired && *acquired;
}

platform::UrlResponse response(std::optional<std::string> etag, std::int64_t length) {
    platform::UrlResponse r;
    r.statusCode = 200;
    r.expectedContentLength = length;
    if (etag) {
        r.headerFields.push_back({"etag", *etag});
    }
    return r;
}

class DownloadController : public ::testing::Test {
  protected:
    DownloadController()
        : home_("HOME", home.path()), cacheDir(getInstallAgentCacheDir()),
          agentDir(cacheDir + "installagent") {
        downloadTo = scratch / "InstallAgent.zip";
        downloadFrom = "http://127.0.0.1:9/InstallAgent.zip";
        DownloadSettings settings;
        settings.stopApplication = [this](int status) { stops.push_back(status); };
        settings.makeTransfer = [this](const platform::UrlRequest& request,
                                       const std::string& destination,
                                       platform::UrlTransferDelegate&) {
            requests.push_back(request);
            destinations.push_back(destination);
            return std::make_unique<FakeTransfer>(&cancels);
        };
        settings.callLater = [this](double, std::function<void()> fn) {
            delayed.push_back(std::move(fn));
            return static_cast<unsigned>(delayed.size());
        };
        settings.cancelCall = [this](unsigned) { ++cancelledCalls; };
        settings.runInBackground = [this](std::function<bool()> work,
                                          std::function<void(bool)> done) {
            background.push_back([work, done] { done(work()); });
            if (!holdBackground) {
                runBackground();
            }
        };
        settings.mainBundle = [this] { return bundle; };
        settingsCopy = std::make_unique<DownloadSettings>(settings);
        controller = std::make_unique<Download>(window, std::move(settings));
        test::makeDirectories(agentDir);
    }

    void runBackground() {
        auto jobs = std::move(background);
        for (auto& job : jobs) {
            job();
        }
    }

    void cacheAgent(const std::string& etag) {
        test::writeFile(agentDir + "/install", "old agent");
        test::writeFile(cacheDir + ".validatestring", etag);
    }

    test::ScratchDir home;
    test::ScratchDir scratch;
    test::EnvGuard home_;
    std::string cacheDir;
    std::string agentDir;
    FakeWindow window;
    std::vector<int> stops;
    std::vector<platform::UrlRequest> requests;
    std::vector<std::string> destinations;
    int cancels = 0;
    std::vector<std::function<void()>> delayed;
    int cancelledCalls = 0;
    std::vector<std::function<void()>> background;
    bool holdBackground = false;
    std::optional<platform::MainBundle> bundle = platform::MainBundle{"/b", "/b"};
    std::unique_ptr<DownloadSettings> settingsCopy;
    std::unique_ptr<Download> controller;
};

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
    ::testing::internal::CaptureStderr();
    controller->downloadDidFailWithError({"Connection reset by peer", "http://h/a.zip"});
    const std::string log = ::testing::internal::GetCapturedStderr();
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
        ::testing::internal::CaptureStderr();
        controller->downloadDidFinish();
        ::testing::internal::GetCapturedStderr();
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

TEST_F(DownloadController, NotModifiedCountsAsCurrentWithOrWithoutItsETag) {
    for (const auto& etag : {std::optional<std::string>("\"v1\""), std::optional<std::string>()}) {
        cacheAgent("\"v1\"");
        stops.clear();
        controller = nullptr;
        DownloadSettings settings;
        settings.stopApplication = [this](int status) { stops.push_back(status); };
        settings.makeTransfer = [this](const platform::UrlRequest&, const std::string&,
                                       platform::UrlTransferDelegate&) {
            return std::make_unique<FakeTransfer>(&cancels);
        };
        FakeWindow freshWindow;
        Download fresh(freshWindow, std::move(settings));
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
    ::testing::internal::CaptureStderr();
    controller->downloadDidReceiveResponse(notModified);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(window.state.colour, platform::TextColour::Red);
    EXPECT_TRUE(stops.empty());
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
    ::testing::internal::CaptureStderr();
    controller->downloadDidReceiveResponse(notModified);
    ::testing::internal::GetCapturedStderr();
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
    controller = std::make_unique<Download>(window, DownloadSettings(*settingsCopy));
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

TEST(DownloadingStatus, FormatsThePercentageInThreeColumns) {
    EXPECT_EQ(downloadingStatus(0), "Downloading   0%");
    EXPECT_EQ(downloadingStatus(99.6), "Downloading 100%");
    EXPECT_EQ(downloadingStatus(7.2), "Downloading   7%");
}

} // namespace
} // namespace qz
