#include "provisioning/install_agent_sourcing.h"

#include "base/settings.h"
#include "support/env_guard.h"
#include "support/files.h"
#include "support/installer_folder.h"
#include "support/message_capture.h"
#include "support/zip_builder.h"

#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace qz {
namespace {

// The download entry: what the window would have left behind is the test's `act`.
struct FakeDownload : DownloadEntry {
    bool downloadInstallAgentFromQZ(const char* to, const char* from, MessageReporter,
                                    const Settings&) override {
        ++calls;
        destination = to;
        url = from;
        return act(destination);
    }
    // Whether the cache's agent counts is then for sourcing to find out.
    bool installAgentInCache() const override {
        return true;
    }

    int calls = 0;
    std::string destination;
    std::string url;
    std::function<bool(const std::string& destination)> act = [](const std::string&) {
        return true;
    };
};

// An installer folder with its program, a home and a scratch directory; the download entry is a
// stand-in.
class SourceInstallAgent : public ::testing::Test {
  protected:
    SourceInstallAgent() : home_("HOME", root / "home") {
        test::makeDirectories(resources);
        test::makeDirectories(scratch);
        settings.executablePath = resources + "/setup";
        test::capturedMessages().clear();
    }

    std::string source() {
        return sourceInstallAgent(scratch, "http://h/a.zip", test::captureMessage, settings,
                                  download);
    }
    std::string cache() const {
        return test::agentCacheIn(root / "home");
    }

    FakeDownload download;
    test::ScratchDir root;
    const std::string resources = root / "Installer";
    const std::string scratch = root / "scratch";
    Settings settings;
    test::EnvGuard home_;
};

TEST_F(SourceInstallAgent, TheBundlesOwnArchiveIsUnpackedIntoTheScratchDirectory) {
    test::writeFile(resources + "/InstallAgent.zip", test::makeAgentZip("echo default"));
    test::writeFile(resources + "/InstallAgent_2.zip", test::makeAgentZip("echo other"));
    EXPECT_EQ(source(), scratch + "/install");
    EXPECT_NE(test::readFile(scratch + "/install").find("echo default"), std::string::npos);
    EXPECT_EQ(download.calls, 0);

    ::unlink((resources + "/InstallAgent.zip").c_str());
    EXPECT_EQ(source(), scratch + "/install");
    EXPECT_NE(test::readFile(scratch + "/install").find("echo other"), std::string::npos);
    EXPECT_TRUE(test::capturedMessages().empty());
}

TEST_F(SourceInstallAgent, ABrokenBundleArchiveReportsBothMessages) {
    test::writeFile(resources + "/InstallAgent.zip", "PK\x03\x04 broken");
    EXPECT_EQ(source(), "");
    EXPECT_EQ(test::capturedTexts(),
              (std::vector<std::string>{"Failed to unzip the install agent",
                                        "Failed to initialize the install agent."}));
}

TEST_F(SourceInstallAgent, WithoutAnArchiveTheCacheIsMadeBeforeTheWindowOpens) {
    // The window finds the cache's directory made, owner-only, and leaves an agent in it.
    download.act = [&](const std::string&) {
        if (test::fileMode(cache() + "installagent") != 0700 ||
            test::fileMode(root / "home/.velmor") != 0700) {
            return false;
        }
        test::writeFile(cache() + "installagent/install", "agent");
        return true;
    };
    EXPECT_EQ(source(), cache() + "installagent/install");
    EXPECT_EQ(download.destination, scratch + "/InstallAgent.zip");
    EXPECT_EQ(download.url, "http://h/a.zip");
    EXPECT_TRUE(test::capturedMessages().empty());
}

TEST_F(SourceInstallAgent, WhatTheWindowLeavesDecides) {
    // Closed or failed: nothing more, and nothing said.
    download.act = [](const std::string&) { return false; };
    EXPECT_EQ(source(), "");
    EXPECT_TRUE(test::capturedMessages().empty());

    // Ready, but neither a cached agent nor an archive.
    download.act = [](const std::string&) { return true; };
    EXPECT_EQ(source(), "");
    EXPECT_EQ(test::capturedTexts(),
              std::vector<std::string>{"Failed to initialize the install agent."});
}

TEST_F(SourceInstallAgent, AnUntrustedCacheIsPassedByForTheScratchDirectory) {
    test::makeDirectories(root / "home/.velmor");
    ::chmod((root / "home/.velmor").c_str(), 0777);
    download.act = [](const std::string& destination) {
        test::writeFile(destination, test::makeAgentZip("echo downloaded"));
        return true;
    };
    EXPECT_EQ(source(), scratch + "/install");
    EXPECT_EQ(test::capturedTexts(),
              std::vector<std::string>{"The install agent cache is not used: " + root.path() +
                                       "/home/.velmor can be written by other users."});
    EXPECT_FALSE(test::pathExists(root / "home/.velmor/app_installer_cache"));
}

TEST(FindInstallAgentArchive, MatchesPrefixAndSuffixExactly) {
    test::ScratchDir dir;
    for (const char* name : {"installagent_x.zip", "InstallAgent_x.ZIP", "xInstallAgent_y.zip",
                             "InstallAgent_x.zip.part", "InstallAgent.zip2", "InstallAgent_.zi"}) {
        test::writeFile(dir / name, "");
    }
    EXPECT_EQ(findInstallAgentArchive(dir.path()), "");
    test::writeFile(dir / "InstallAgent_.zip", "");
    EXPECT_EQ(findInstallAgentArchive(dir.path()), dir / "InstallAgent_.zip");
}

TEST(FindInstallAgentArchive, ADirectoryWithAMatchingNameCountsToo) {
    test::ScratchDir dir;
    test::makeDirectories(dir / "InstallAgent_dir.zip");
    EXPECT_EQ(findInstallAgentArchive(dir.path()), dir / "InstallAgent_dir.zip");
}

TEST(FindInstallAgentArchive, AnUnreadableDirectoryHasNoMatch) {
    EXPECT_EQ(findInstallAgentArchive(""), "");
    EXPECT_EQ(findInstallAgentArchive("/nonexistent/qz"), "");
}

} // namespace
} // namespace qz
