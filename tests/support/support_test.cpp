// The glue around GLib, libzip and libmicrohttpd that the product's tests take for granted.

#include "support/files.h"
#include "support/process_runner.h"
#include "support/zip_builder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <system_error>

namespace qz::test {
namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

RunResult shell(const std::string& script, const RunOptions& options = {}) {
    return runProgram("sh", {"-c", script}, options);
}

TEST(SupportZip, UnzipRestoresVerbatimNamesModesDirectoriesAndSymlinks) {
    ScratchDir dir;
    using Kind = ZipEntry::Kind;
    writeZip(dir / "a.zip", {{"bin/", "", Kind::Directory, 0750},
                             {"bin/tool", std::string("\0\xff\n", 3), Kind::File, 0751},
                             {"link", "bin/tool", Kind::Symlink, 0777},
                             {"../up", "x"},
                             {"/abs/path", "y"}});
    const RunResult names = runProgram("unzip", {"-Z1", dir / "a.zip"});
    EXPECT_EQ(names.out, "bin/\nbin/tool\nlink\n../up\n/abs/path\n") << names.err;

    const RunResult extract =
        runProgram("unzip", {"-q", dir / "a.zip", "bin/*", "link", "-d", dir / "out"});
    ASSERT_EQ(extract.exitStatus, 0) << extract.out << extract.err;
    EXPECT_EQ(fileMode(dir / "out/bin"), 0750u);
    EXPECT_EQ(readFile(dir / "out/bin/tool"), std::string("\0\xff\n", 3));
    EXPECT_EQ(fileMode(dir / "out/bin/tool"), 0751u);
    EXPECT_EQ(readSymlink(dir / "out/link"), "bin/tool");

    writeFile(dir / "agent.zip", makeAgentZip("echo \"installing $1\"\n"));
    ASSERT_EQ(runProgram("unzip", {"-q", dir / "agent.zip", "-d", dir / "agent"}).exitStatus, 0);
    EXPECT_EQ(runProgram(dir / "agent/install", {"now"}).out, "installing now\n");
}

TEST(SupportProcess, CapturesStatusStreamsAndTheEnvironmentItWasGiven) {
    ::setenv("QZ_SUPPORT_REPLACED", "old", 1);
    ::setenv("QZ_SUPPORT_REMOVED", "gone", 1);
    RunOptions options;
    options.setEnv = {"QZ_SUPPORT_NEW=a=b", "QZ_SUPPORT_REPLACED=new"};
    options.unsetEnv = {"QZ_SUPPORT_REMOVED"};
    options.stdinData = "in\n";
    const RunResult r = shell("env | grep '^QZ_SUPPORT_' | sort; cat >&2; exit 3", options);
    ::unsetenv("QZ_SUPPORT_REPLACED");
    ::unsetenv("QZ_SUPPORT_REMOVED");
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.out, "QZ_SUPPORT_NEW=a=b\nQZ_SUPPORT_REPLACED=new\n");
    EXPECT_EQ(r.errLines(), std::vector<std::string>{"in"});
    EXPECT_EQ(shell("kill -TERM $$").termSignal, SIGTERM);
    EXPECT_THROW(runProgram("qz-no-such-program-anywhere", {}), std::system_error);
}

TEST(SupportProcess, TimeoutKillsTheWholeGroup) {
    RunOptions options;
    options.timeoutSeconds = 0.3;
    options.outputDrainSeconds = 8; // a surviving grandchild would hold the pipes this long
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = shell("sleep 30 & echo started; wait", options);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.termSignal, SIGKILL);
    EXPECT_EQ(r.out, "started\n");
    EXPECT_LT(secondsSince(start), 5.0);
}

TEST(SupportChildProcess, WaitsForOutputSignalsAndKillsWhenDestroyed) {
    ChildProcess child("sh", {"-c", "echo ready >&2; exec sleep 30"});
    ASSERT_TRUE(child.waitForErr("ready", 10));
    EXPECT_FALSE(child.waitForOut("ready", 0.1));
    child.signal(SIGTERM);
    EXPECT_FALSE(child.waitForErr("never", 10)); // returns once the child has ended
    EXPECT_EQ(child.wait().termSignal, SIGTERM);

    RunOptions options;
    options.outputDrainSeconds = 8; // a surviving grandchild would hold the pipes this long
    const auto start = std::chrono::steady_clock::now();
    ChildProcess group("sh", {"-c", "sleep 30 & echo started >&2; wait"}, options);
    ASSERT_TRUE(group.waitForErr("started", 10));
    group.signalGroup(SIGKILL);
    EXPECT_EQ(group.wait().termSignal, SIGKILL);
    EXPECT_LT(secondsSince(start), 5.0);

    pid_t pid;
    {
        ChildProcess sleeper("sleep", {"30"});
        pid = sleeper.pid();
    }
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

} // namespace
} // namespace qz::test
