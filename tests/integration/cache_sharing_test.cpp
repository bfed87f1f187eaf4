#include "integration/download_installer.h"

#include <csignal>
#include <functional>
#include <sys/stat.h>

namespace qz {
namespace {

class CacheSharing : public test::DownloadInstaller {
  protected:
    // An agent that says it runs, then waits until the test lets it end.
    std::string waitingAgent(const std::string& version) const {
        return test::makeAgentZip("echo '" + version + " running'\nwhile [ ! -e '" + (root / "go") +
                                  "' ]; do sleep 0.05; done\necho '" + version + " ended'\n");
    }

    // A cache holding an agent that would be current for the server's "v1".
    void plantAgent() {
        test::makeDirectories(cache() + "installagent", 0700);
        test::writeFile(cache() + "installagent/install", "echo planted\n", 0700);
        test::writeFile(cache() + ".validatestring", "\"v1\"", 0600);
    }
};

TEST_F(CacheSharing, ACacheThatOthersCouldHaveWrittenIsNeitherRunNorChanged) {
    const std::string top = root / "home/.velmor";
    struct Case {
        std::function<void()> spoil;
        std::string problem;
        bool needsRoot = false;
    };
    const std::vector<Case> cases = {
        {[&] { ::chmod(top.c_str(), 0777); }, top + " can be written by other users"},
        {[&] {
             ::rename(top.c_str(), (root / "outside/.velmor").c_str());
             ::symlink((root / "outside/.velmor").c_str(), top.c_str());
         },
         top + " is a symbolic link"},
        {[&] { ::lchown((cache() + ".validatestring").c_str(), 65534, 65534); },
         cache() + ".validatestring belongs to another user", true},
    };
    server.setHonourIfNoneMatch(true);
    for (const auto& c : cases) {
        if (c.needsRoot && ::geteuid() != 0) {
            continue;
        }
        test::removeTree(top);
        test::removeTree(root / "outside/.velmor");
        plantAgent();
        c.spoil();
        const auto result = run();
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_EQ(result.out, "agent ran\n");
        EXPECT_EQ(result.errLines().front(),
                  "The install agent cache is not used: " + c.problem + ".");
        // The downloaded agent ran from the run's own scratch directory, which is gone again.
        const auto args = test::recordedArguments(root / "record");
        ASSERT_FALSE(args.empty()) << result.err;
        EXPECT_TRUE(args[0].starts_with(root / "tmp/qz")) << args[0];
        EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
        EXPECT_FALSE(server.requests().back().header("If-None-Match").has_value());
        EXPECT_EQ(test::readFile(cache() + "installagent/install"), "echo planted\n");
        EXPECT_EQ(test::listDirectory(cache()),
                  (std::vector<std::string>{".validatestring", "installagent"}));
    }
}

TEST_F(CacheSharing, ACacheFoundUntrustedStaysUnusedForTheWholeRun) {
    // Trusted again while the run waits to try once more, it is still not this run's: its
    // agent, current for the server's answer, is neither started nor replaced.
    test::writeFile(installer.resources + "/installerSettings.txt", "download: resilient\n");
    plantAgent();
    const std::string top = root / "home/.velmor";
    ::chmod(top.c_str(), 0777);
    server.setStatus(503);
    server.setRetryAfter("1");
    server.setFaultyRequests(1);
    test::ChildProcess child(installer.executable, {}, options());
    ASSERT_TRUE(child.waitForErr("Trying again in 1 s", 5.0)) << child.errSoFar();
    ::chmod(top.c_str(), 0700);
    const auto result = child.wait();
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const auto args = test::recordedArguments(root / "record");
    ASSERT_FALSE(args.empty()) << result.err;
    EXPECT_TRUE(args[0].starts_with(root / "tmp/qz")) << args[0];
    EXPECT_EQ(test::readFile(cache() + "installagent/install"), "echo planted\n");
}

TEST_F(CacheSharing, ALockThatCannotBeTakenLeavesTheCacheUnused) {
    ASSERT_EQ(run().exitStatus, 0);
    const std::string cached = test::readFile(cache() + "installagent/install");
    ::chmod((cache() + ".lock").c_str(), 0400);
    server.setBody(test::makeAgentZip("echo v2\n" + test::recordingAgentScript()));
    server.setETag("\"v2\"");
    // As a user without root's power to open what a mode forbids.
    ::unlink((root / "record").c_str());
    const auto result = test::runProgram(
        "setpriv", {"--bounding-set", "-dac_override,-dac_read_search", "--", installer.executable},
        options());
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, "v2\nagent ran\n");
    EXPECT_EQ(result.errLines().front(), "The install agent cache is not used: its lock " +
                                             cache() +
                                             ".lock cannot be taken (Permission denied).");
    const auto args = test::recordedArguments(root / "record");
    ASSERT_FALSE(args.empty());
    EXPECT_TRUE(args[0].starts_with(root / "tmp/qz")) << args[0];
    EXPECT_EQ(test::readFile(cache() + "installagent/install"), cached);
    EXPECT_EQ(test::readFile(cache() + ".validatestring"), "\"v1\"");
}

TEST_F(CacheSharing, AnApplicationTheAgentLeavesRunningNeverHoldsTheCache) {
    // The usual end of an install: the product started, detached, and the agent gone.
    // It also ends with the test's folder, so that it never outlives the test.
    server.setBody(test::makeAgentZip("setsid sh -c 'while [ -d \"" + root.path() +
                                      "\" ] && [ ! -e \"" + (root / "go") +
                                      "\" ]; do sleep 0.05; done' </dev/null >/dev/null 2>&1 &\n"
                                      "echo v1 done\n"));
    EXPECT_EQ(run().out, "v1 done\n");
    server.setBody(test::makeAgentZip("echo v2 done\n"));
    server.setETag("\"v2\"");
    const auto second = run();
    test::writeFile(root / "go", "");
    EXPECT_EQ(second.exitStatus, 0) << second.err;
    EXPECT_EQ(second.out, "v2 done\n");
}

TEST_F(CacheSharing, ACachedAgentIsNotReplacedWhileItRuns) {
    // Its bootstrapper waiting for it, or killed (the agent runs on, and keeps the cache in use).
    for (const bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "killed" : "waiting");
        test::removeTree(root / "home/.velmor");
        ::unlink((root / "go").c_str());
        server.setBody(waitingAgent("v1"));
        server.setETag("\"v1\"");
        test::ChildProcess first(installer.executable, {}, options());
        ASSERT_TRUE(first.waitForOut("v1 running", 5.0)) << first.errSoFar();
        if (killed) {
            first.signal(SIGKILL);
            ASSERT_TRUE(first.waitForExit(5.0));
        }

        server.setBody(waitingAgent("v2"));
        server.setETag("\"v2\"");
        test::ChildProcess second(installer.executable, {}, options());
        ASSERT_TRUE(second.waitForErr("Waiting for another installer to finish", 5.0))
            << second.errSoFar();
        EXPECT_NE(test::readFile(cache() + "installagent/install").find("v1 running"),
                  std::string::npos);

        test::writeFile(root / "go", "");
        EXPECT_EQ(first.wait().out, "v1 running\nv1 ended\n");
        const auto result = second.wait();
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_EQ(result.out, "v2 running\nv2 ended\n");
        EXPECT_EQ(test::readFile(cache() + ".validatestring"), "\"v2\"");
    }
}

} // namespace
} // namespace qz
