#include "support/files.h"
#include "support/installer_folder.h"
#include "support/subprocess.h"
#include "support/zip_builder.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

namespace qz {
namespace {

// An installer whose bundled install agent waits for a signal, run as a user would.
class AgentRun : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* d : {"home", "tmp", "cwd"}) {
            test::makeDirectories(root / d);
        }
        installer = test::makeFlatInstaller(root / "Installer");
        test::writeZip(installer.resources + "/InstallAgent.zip",
                       {{"install", test::waitingAgentScript(), test::ZipEntry::Kind::File}});
    }

    test::RunOptions options(const std::string& record) const {
        return test::userRunOptions(root.path(), root / record);
    }

    // The scratch directory that the agent recorded in `record` runs from.
    std::string scratchOf(const std::string& record) const {
        const auto args = test::recordedArguments(root / record);
        return args.empty() ? std::string() : args[0].substr(0, args[0].rfind('/'));
    }

    // The processes of a killed run let go of its scratch directory a moment after the test
    // sees their output end.
    static void waitUntilNoProcessHolds(const std::string& scratch) {
        const int fd = ::open(scratch.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::flock(fd, LOCK_EX);
        ::close(fd);
    }

    std::string signalsReceived(const std::string& record) const {
        const std::string file = root / record + ".signals";
        return test::pathExists(file) ? test::readFile(file) : std::string();
    }

    test::ScratchDir root;
    test::InstallerFolder installer;
};

TEST_F(AgentRun, AShellThatCannotStartIsAFailedLaunch) {
    // One command line longer than the kernel takes as one argument.
    const std::vector<std::string> args(2000, std::string(100, 'a'));
    const auto result = test::runProgram(installer.executable, args, options("record"));
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_EQ(result.errLines(), (std::vector<std::string>{"Failed to start the install agent",
                                                           "Failed to start the install agent",
                                                           "Installation failed."}));
    EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
}

TEST_F(AgentRun, TerminationSignalsReachTheAgentAndTheRunCleansUpBeforeItEnds) {
    struct Case {
        std::string name;
        bool hangupIgnoredAtStart;
        std::vector<int> signals; // sent to the bootstrapper, in order
        bool toGroup;             // as a terminal sends them
        std::string agentGot;
        int termSignal;
        int exitStatus;
    };
    const std::vector<Case> cases = {
        {"term", false, {SIGTERM}, false, "got TERM\n", SIGTERM, -1},
        {"hup", false, {SIGHUP}, false, "got HUP\n", SIGHUP, -1},
        {"nohup", true, {SIGHUP, SIGTERM}, false, "got TERM\n", SIGTERM, -1},
        {"terminal interrupt", false, {SIGINT}, true, "got INT\n", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string record = "record-" + std::to_string(&c - cases.data());
        const std::string ignoreHangup = c.hangupIgnoredAtStart ? "trap '' HUP; " : "";
        test::ChildProcess child(
            "/bin/sh", {"-c", ignoreHangup + "exec \"$0\"", installer.executable}, options(record));
        ASSERT_TRUE(child.waitForOut("agent started", 5.0)) << child.errSoFar();
        for (int signal : c.signals) {
            c.toGroup ? child.signalGroup(signal) : child.signal(signal);
        }
        const auto result = child.wait();
        EXPECT_EQ(signalsReceived(record), c.agentGot);
        EXPECT_EQ(result.termSignal, c.termSignal) << result.err;
        EXPECT_EQ(result.exitStatus, c.exitStatus) << result.err;
        EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
    }
}

TEST_F(AgentRun, ALaterRunRemovesOnlyTheScratchDirectoriesOfRunsThatAreGone) {
    test::ChildProcess running(installer.executable, {}, options("running"));
    ASSERT_TRUE(running.waitForOut("agent started", 5.0)) << running.errSoFar();
    // Killed, while the agent that it started runs on from its scratch directory.
    test::ChildProcess orphaned(installer.executable, {}, options("orphaned"));
    ASSERT_TRUE(orphaned.waitForOut("agent started", 5.0)) << orphaned.errSoFar();
    orphaned.signal(SIGKILL);
    {
        test::ChildProcess killed(installer.executable, {}, options("killed"));
        ASSERT_TRUE(killed.waitForOut("agent started", 5.0)) << killed.errSoFar();
        killed.signalGroup(SIGKILL);
        killed.wait();
    }
    const std::string gone = scratchOf("killed");
    ASSERT_TRUE(test::pathExists(gone));
    waitUntilNoProcessHolds(gone);

    const auto other = test::makeFlatInstaller(root / "Other");
    test::writeZip(other.resources + "/InstallAgent.zip",
                   {{"install", test::recordingAgentScript()}});
    EXPECT_EQ(test::runProgram(other.executable, {}, options("record")).exitStatus, 0);
    EXPECT_FALSE(test::pathExists(gone));
    EXPECT_TRUE(test::pathExists(scratchOf("running")));
    EXPECT_TRUE(test::pathExists(scratchOf("orphaned")));
    EXPECT_EQ(test::listDirectory(root / "tmp").size(), 2u);
}

} // namespace
} // namespace qz
