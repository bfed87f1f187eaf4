#include "integration/download_installer.h"
#include "support/minisign_keys.h"

#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <random>

namespace qz {
namespace {

const std::string PORTAL_MESSAGE =
    "The server sent a web page instead of the install agent archive. If this network needs "
    "you to sign in, sign in and try again.";

// An archive that does not shrink, so that a cut lands where a test puts it.
std::string agentArchive(std::size_t payloadBytes, unsigned seed = 1) {
    std::mt19937 random(seed);
    std::string payload(payloadBytes, '\0');
    for (auto& byte : payload) {
        byte = static_cast<char>(random());
    }
    return test::makeAgentZip(test::recordingAgentScript(), {{"lib/payload", payload}});
}

// A downloading installer made as make-installer makes it: its download survives the network.
class NetworkFaults : public test::DownloadInstaller {
  protected:
    void SetUp() override {
        DownloadInstaller::SetUp();
        test::writeFile(installer.resources + "/installerSettings.txt", "download: resilient\n");
        archive = agentArchive(512 * 1024);
        server.setBody(archive);
        server.setRanges(true);
    }

    // The installer carries a key, and the server publishes `bytes` signed as this version.
    void publishSigned(const std::string& bytes, std::uint64_t version, std::uint64_t size = 0) {
        if (!keys) {
            keys = test::makeMinisignKeys(keysDir.path(), "release");
        }
        test::writeFile(installer.resources + "/installAgentKey.pub",
                        test::readFile(keys->publicKey));
        test::writeFile(published / "InstallAgent.zip", bytes);
        test::minisignSign(
            *keys, published / "InstallAgent.zip",
            test::releaseComment("InstallAgent.zip", version, size != 0 ? size : bytes.size()));
        server.setDirectory(published.path());
    }

    test::RunResult run(const std::vector<std::string>& extraEnv = {}) {
        std::vector<std::string> env = {"QZ_TEST_RETRY_WAIT_SCALE=0.01", "QZ_DOWNLOAD_TIMEOUT=1"};
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        return DownloadInstaller::run(env);
    }

    void expectAgentStartedFromCache(const test::RunResult& result, const std::string& etag,
                                     std::size_t payloadBytes = 512 * 1024) {
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        const auto args = test::recordedArguments(root / "record");
        ASSERT_FALSE(args.empty()) << result.err;
        EXPECT_EQ(args[0], cache() + "installagent/install");
        EXPECT_EQ(test::readFile(cache() + ".validatestring"), etag);
        // The agent unpacked is the archive served, whole.
        EXPECT_EQ(test::readFile(cache() + "installagent/lib/payload").size(), payloadBytes);
        EXPECT_FALSE(test::pathExists(cache() + "installagent.part"));
        EXPECT_FALSE(test::pathExists(cache() + ".partial"));
    }

    std::string archive;
    test::ScratchDir keysDir;
    test::ScratchDir published;
    std::optional<test::MinisignKeys> keys;
};

TEST_F(NetworkFaults, EveryPassingFaultEndsWithTheAgentStarted) {
    const std::size_t size = archive.size();
    struct Case {
        const char* what;
        std::function<void(test::HttpTestServer&)> fault;
        int requests;
        const char* shown; // on standard error while the run waits
    };
    const std::vector<Case> cases = {
        {"a cut once, half-way",
         [&](auto& s) {
             s.setDropAfter(size / 2);
             s.setFaultyRequests(1);
         },
         2, "Connection lost. Trying again in"},
        {"a cut every quarter",
         [&](auto& s) {
             s.setDropAfter(size / 4 + 1);
             s.setFaultyRequests(std::nullopt);
         },
         4, "Connection lost. Trying again in"},
        {"a stall at 40 %",
         [&](auto& s) {
             s.setStallAfter(size * 2 / 5);
             s.setFaultyRequests(1);
         },
         2, "Connection lost."},
        {"503 with Retry-After, twice",
         [&](auto& s) {
             s.setStatus(503);
             s.setRetryAfter("2");
             s.setFaultyRequests(2);
         },
         3, "The server is busy. Trying again in 2 s (2 of 5)"},
        {"429 with a Retry-After date",
         [&](auto& s) {
             s.setStatus(429);
             s.setRetryAfter("Wed, 21 Oct 2015 07:28:00 GMT");
             s.setFaultyRequests(1);
         },
         2, "The server is busy. Trying again in 0 s (2 of 5)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::removeTree(cache());
        test::HttpTestServer faulty;
        faulty.setBody(archive);
        faulty.setETag("\"v1\"");
        faulty.setRanges(true);
        c.fault(faulty);
        test::writeFile(installer.resources + "/installAgentURL.txt", faulty.url() + "\n");
        const auto result = run();
        expectAgentStartedFromCache(result, "\"v1\"");
        EXPECT_NE(result.err.find(c.shown), std::string::npos) << result.err;
        ASSERT_EQ(faulty.requestCount(), c.requests);
        // Each try after a cut asks for the rest only, guarded by the first answer's ETag.
        for (const auto& request : faulty.requests()) {
            if (request.header("Range")) {
                EXPECT_EQ(request.header("If-Range"), "\"v1\"");
            }
        }
        EXPECT_LE(faulty.bodyBytesSent(), size + size / 20);
    }
}

TEST_F(NetworkFaults, AnArchiveRepublishedBetweenTwoTriesIsDownloadedAgainWhole) {
    server.setDropAfter(archive.size() / 2);
    server.setFaultyRequests(1);
    const std::string republished = agentArchive(600 * 1024, 2);
    server.switchAfter(1, republished, "\"v2\"");
    const auto result = run();
    expectAgentStartedFromCache(result, "\"v2\"", 600 * 1024);
    ASSERT_EQ(server.requestCount(), 2);
    EXPECT_EQ(server.requests()[1].header("Range"),
              "bytes=" + std::to_string(archive.size() / 2) + "-");
}

TEST_F(NetworkFaults, CtrlCEndsTheWaitAtOnceAsACancel) {
    server.setStatus(503);
    server.setRetryAfter("60");
    test::ChildProcess child(installer.executable, {}, options());
    ASSERT_TRUE(child.waitForErr("Trying again in 60 s (2 of 5)", 5.0)) << child.errSoFar();
    child.signal(SIGINT);
    ASSERT_TRUE(child.waitForExit(2.0));
    const auto result = child.wait();
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_EQ(result.errLines().back(), "Installation failed.");
    EXPECT_EQ(server.requestCount(), 1);
}

TEST_F(NetworkFaults, AWebPageInsteadOfTheArchiveIsRefusedBeforeAnythingIsCached) {
    const std::vector<std::pair<std::optional<std::string>, std::string>> pages = {
        {"text/html; charset=utf-8", "PK\x03\x04 a page that starts like a zip"},
        {std::nullopt, "<html><body>Sign in to the hotel's network</body></html>"},
    };
    for (const auto& [type, body] : pages) {
        server.setContentType(type);
        server.setBody(body);
        const auto result = run();
        EXPECT_EQ(result.exitStatus, 255);
        const auto lines = result.errLines();
        ASSERT_GE(lines.size(), 2u) << result.err;
        EXPECT_EQ(lines[lines.size() - 2], PORTAL_MESSAGE) << result.err;
        EXPECT_FALSE(test::pathExists(cache() + "installagent/install"));
        EXPECT_FALSE(test::pathExists(cache() + "installagent.part"));
    }
}

TEST_F(NetworkFaults, ARunKilledPartWayIsResumedByTheNextRunAndItsSignatureStillHolds) {
    archive = agentArchive(2 * 1024 * 1024);
    publishSigned(archive, 1);
    server.setPaced(128 * 1024);
    {
        test::ChildProcess child(installer.executable, {}, options());
        server.releasePiece(9); // 10 of 16 pieces: 62 %
        ASSERT_TRUE(test::eventually(
            [&] {
                return test::pathExists(cache() + "installagent.part") &&
                       test::readFile(cache() + "installagent.part").size() >= 1024 * 1024;
            },
            5.0))
            << child.errSoFar();
        child.signalGroup(SIGKILL);
        child.wait();
    }
    const std::size_t kept = test::readFile(cache() + "installagent.part").size();
    const std::uint64_t sentBefore = server.bodyBytesSent();
    server.setPaced(0);
    // The kept part is hashed with the rest: the signature is checked over the whole archive.
    expectAgentStartedFromCache(run(), "\"v1\"", 2 * 1024 * 1024);
    const auto second = server.requests().back();
    EXPECT_EQ(second.header("Range"), "bytes=" + std::to_string(kept) + "-");
    EXPECT_EQ(second.header("If-Range"), "\"v1\"");
    const std::uint64_t signatureBytes =
        test::readFile(published / "InstallAgent.zip.minisig").size();
    EXPECT_EQ(server.bodyBytesSent() - sentBefore, archive.size() - kept + signatureBytes);
}

TEST_F(NetworkFaults, ACorruptArchivePublishedOverAGoodOneLeavesTheCachedAgent) {
    expectAgentStartedFromCache(run(), "\"v1\"");
    server.setBody(std::string("PK\x03\x04", 4) + std::string(4096, 'x'));
    server.setETag("\"v2\"");
    const auto refused = run();
    EXPECT_EQ(refused.exitStatus, 255);
    EXPECT_EQ(refused.errLines().back(), "Installation failed.");
    EXPECT_TRUE(test::recordedArguments(root / "record").empty());
    // The good agent is still there and current for the archive it came from.
    server.setBody(archive);
    server.setETag("\"v1\"");
    server.setHonourIfNoneMatch(true);
    const int before = server.requestCount();
    expectAgentStartedFromCache(run(), "\"v1\"");
    EXPECT_EQ(server.requestCount(), before + 1);
}

TEST_F(NetworkFaults, WithoutTheSettingOneRequestAndTheFirstCutIsFinal) {
    ::unlink((installer.resources + "/installerSettings.txt").c_str());
    server.setDropAfter(archive.size() / 2);
    server.setFaultyRequests(1);
    const auto result = run();
    EXPECT_EQ(result.exitStatus, 255);
    const auto lines = result.errLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "See your system log for more information.");
    EXPECT_EQ(server.requestCount(), 1);
    EXPECT_FALSE(test::pathExists(cache() + "installagent.part"));
}

TEST_F(NetworkFaults, AnUnreachableServerStartsOnlyASignedCachedAgent) {
    publishSigned(archive, 7);
    const std::string keyFile = installer.resources + "/installAgentKey.pub";
    const std::string key = test::readFile(keyFile);
    struct Case {
        bool signedInstaller;
        int exitStatus;
    };
    for (const Case c : {Case{true, 0}, Case{false, 255}}) {
        SCOPED_TRACE(c.signedInstaller ? "signed" : "unsigned");
        test::removeTree(cache());
        ::unlink(keyFile.c_str());
        if (c.signedInstaller) {
            test::writeFile(keyFile, key);
        }
        test::writeFile(installer.resources + "/installAgentURL.txt", server.url() + "\n");
        expectAgentStartedFromCache(run(), "\"v1\"");
        // Nothing listens there: no answer at all, try after try.
        test::writeFile(installer.resources + "/installAgentURL.txt",
                        "http://127.0.0.1:9/InstallAgent.zip\n");
        const auto offline = run();
        EXPECT_EQ(offline.exitStatus, c.exitStatus) << offline.err;
        const bool started =
            offline.err.find("The server cannot be reached; starting the install "
                             "agent already on this computer (version 7).") != std::string::npos;
        EXPECT_EQ(started, c.signedInstaller) << offline.err;
        EXPECT_EQ(test::recordedArguments(root / "record").empty(), !c.signedInstaller);
    }
}

TEST_F(NetworkFaults, ASignatureReplacedDuringTheDownloadIsFetchedAgainBeforeRefusing) {
    const std::string signature = published / "InstallAgent.zip.minisig";
    // The signature of the release before, still there when the run starts.
    publishSigned(agentArchive(1000, 3), 1, 2 * archive.size());
    const std::string before = test::readFile(signature);
    publishSigned(archive, 2);
    const std::string after = test::readFile(signature);
    test::writeFile(signature, before);
    server.setPaced(64 * 1024);

    test::ChildProcess child(installer.executable, {}, options());
    ASSERT_TRUE(test::eventually([&] { return server.requestCount() == 2; }, 5.0));
    test::writeFile(signature, after); // the release's upload ends while the archive arrives
    server.releasePiece(100);
    expectAgentStartedFromCache(child.wait(), "\"v1\"");
    EXPECT_EQ(server.requestCount(), 3);
}

} // namespace
} // namespace qz
