#include "support/files.h"
#include "support/process_runner.h"
#include "support/zip_builder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qz::test {
namespace {

using Kind = ZipEntry::Kind;

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

RunResult shell(const std::string& script, const RunOptions& options = {}) {
    return runProgram("/bin/sh", {"-c", script}, options);
}

RunResult unzip(const std::vector<std::string>& args) {
    return runProgram("unzip", args);
}

std::string realPath(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) != nullptr ? buffer : "";
}

TEST(SupportZip, Crc32MatchesReferenceAndChains) {
    EXPECT_EQ(crc32("123456789"), 0xCBF43926u);
    EXPECT_EQ(crc32(""), 0u);

    std::string data;
    for (int i = 0; i < 1000; ++i) {
        data.push_back(static_cast<char>(i * 37 + 11));
    }
    // Odd split points exercise both the eight-byte and the single-byte paths.
    const std::uint32_t chained = crc32(data.substr(13), crc32(data.substr(0, 13)));
    EXPECT_EQ(chained, crc32(data));
}

TEST(SupportZip, UnzipRestoresBytesModesDirectoriesAndSymlinks) {
    ScratchDir dir;
    const std::string binary("\0\x01\xff\n\r binary", 12);
    writeZip(dir / "a.zip", {
                                {"a.txt", "hello\n"},
                                {"bin/", "", Kind::Directory, 0750},
                                {"bin/tool", binary, Kind::File, 0751},
                                {"empty", "", Kind::File, 0600},
                                {"private/", "", Kind::Directory, 0700},
                                {"link", "a.txt", Kind::Symlink, 0777},
                                {"dangling", "../nowhere", Kind::Symlink, 0777},
                            });

    const RunResult test = unzip({"-t", dir / "a.zip"});
    EXPECT_EQ(test.exitStatus, 0) << test.out << test.err;

    const RunResult extract = unzip({"-q", "-o", dir / "a.zip", "-d", dir / "out"});
    ASSERT_EQ(extract.exitStatus, 0) << extract.out << extract.err;
    const std::string out = dir / "out";
    EXPECT_EQ(listDirectory(out),
              (std::vector<std::string>{"a.txt", "bin", "dangling", "empty", "link", "private"}));
    EXPECT_EQ(readFile(out + "/a.txt"), "hello\n");
    EXPECT_EQ(fileMode(out + "/a.txt"), 0644u);
    EXPECT_EQ(readFile(out + "/bin/tool"), binary);
    EXPECT_EQ(fileMode(out + "/bin/tool"), 0751u);
    EXPECT_TRUE(isDirectory(out + "/bin"));
    EXPECT_EQ(fileMode(out + "/bin"), 0750u);
    EXPECT_EQ(readFile(out + "/empty"), "");
    EXPECT_EQ(fileMode(out + "/empty"), 0600u);
    EXPECT_EQ(fileMode(out + "/private"), 0700u);
    ASSERT_TRUE(isSymlink(out + "/link"));
    EXPECT_EQ(readSymlink(out + "/link"), "a.txt");
    ASSERT_TRUE(isSymlink(out + "/dangling"));
    EXPECT_EQ(readSymlink(out + "/dangling"), "../nowhere");
}

TEST(SupportZip, NamesAreStoredVerbatim) {
    ScratchDir dir;
    writeZip(dir / "evil.zip", {{"../up", "x"}, {"/abs/path", "y"}, {"dir/../../z", "z"}});
    const RunResult names = unzip({"-Z1", dir / "evil.zip"});
    EXPECT_EQ(names.exitStatus, 0) << names.err;
    EXPECT_EQ(names.out, "../up\n/abs/path\ndir/../../z\n");
}

TEST(SupportZip, AgentZipHoldsRunnableInstallScript) {
    ScratchDir dir;
    writeFile(dir / "agent.zip", makeAgentZip("echo \"installing $1\"\n", {{"res/data", "42"}}));
    ASSERT_EQ(unzip({"-q", dir / "agent.zip", "-d", dir / "x"}).exitStatus, 0);

    EXPECT_EQ(readFile(dir / "x/install"), "#!/bin/sh\necho \"installing $1\"\n");
    EXPECT_EQ(fileMode(dir / "x/install"), 0755u);
    EXPECT_EQ(readFile(dir / "x/res/data"), "42");
    const RunResult run = runProgram(dir / "x/install", {"now"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, "installing now\n");

    // A body with its own interpreter line is kept as it is.
    writeFile(dir / "own.zip", makeAgentZip("#!/bin/bash\nexit 0\n"));
    ASSERT_EQ(unzip({"-q", dir / "own.zip", "-d", dir / "y"}).exitStatus, 0);
    EXPECT_EQ(readFile(dir / "y/install"), "#!/bin/bash\nexit 0\n");
}

TEST(SupportZip, LargeAgentZipIsValidAndIncompressible) {
    ScratchDir dir;
    const std::uint64_t size = (std::uint64_t{3} << 20) + 5; // not a multiple of chunk or word
    writeLargeAgentZip(dir / "big.zip", "exit 0\n", size);

    const RunResult test = unzip({"-t", "-q", dir / "big.zip"});
    EXPECT_EQ(test.exitStatus, 0) << test.out << test.err;
    ASSERT_EQ(unzip({"-q", dir / "big.zip", "-d", dir / "x"}).exitStatus, 0);
    const std::string payload = readFile(dir / "x/payload.bin");
    EXPECT_EQ(payload.size(), size);
    EXPECT_EQ(fileMode(dir / "x/install"), 0755u);

    // Repetition would let compression (gzip in HTTP, say) shrink it.
    EXPECT_NE(payload.substr(0, 4096), payload.substr(4096, 4096));
    EXPECT_EQ(payload.find(std::string(16, '\0')), std::string::npos);
}

TEST(SupportZip, RefusesSizesNeedingZip64) {
    ScratchDir dir;
    EXPECT_THROW(writeLargeAgentZip(dir / "huge.zip", "exit 0\n", std::uint64_t{5} << 30),
                 std::length_error);
}

TEST(SupportFiles, WriteReadModesAndListing) {
    ScratchDir dir;
    const mode_t oldMask = ::umask(077);
    writeFile(dir / "b", "bee", 0755);
    ::umask(oldMask);
    EXPECT_EQ(fileMode(dir / "b"), 0755u);
    writeFile(dir / "b", "shorter\n", 0600); // truncates and resets the mode
    EXPECT_EQ(readFile(dir / "b"), "shorter\n");
    EXPECT_EQ(fileMode(dir / "b"), 0600u);

    writeFile(dir / "a", std::string("\0x", 2));
    EXPECT_EQ(readFile(dir / "a"), std::string("\0x", 2));
    ASSERT_EQ(::symlink("missing", (dir / "c").c_str()), 0);
    EXPECT_TRUE(pathExists(dir / "c"));
    EXPECT_FALSE(pathExists(dir / "missing"));
    EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"a", "b", "c"}));

    EXPECT_THROW(readFile(dir / "missing"), std::runtime_error);
    EXPECT_THROW(writeFile(dir / "no/such/dir", "x"), std::runtime_error);
    EXPECT_THROW(listDirectory(dir / "missing"), std::runtime_error);
}

TEST(SupportFiles, MakeDirectories) {
    ScratchDir dir;
    makeDirectories(dir / "x/y/z", 0700);
    EXPECT_TRUE(isDirectory(dir / "x/y/z"));
    EXPECT_EQ(fileMode(dir / "x/y"), 0700u);
    makeDirectories(dir / "x//y/./z/"); // existing and oddly spelled: fine
    makeDirectories(dir / "ro/sub", 0555);
    EXPECT_EQ(fileMode(dir / "ro/sub"), 0555u);

    writeFile(dir / "file", "");
    EXPECT_THROW(makeDirectories(dir / "file/sub"), std::system_error);
}

TEST(SupportFiles, ScratchDirRemovesItselfWithoutFollowingSymlinks) {
    ScratchDir keep;
    writeFile(keep / "precious", "p");
    std::string path;
    {
        ScratchDir scratch;
        path = scratch.path();
        EXPECT_EQ(path.rfind("qztest.") + 13, path.size());
        ASSERT_EQ(::symlink(keep.path().c_str(), (scratch / "to-dir").c_str()), 0);
        ASSERT_EQ(::symlink((keep / "precious").c_str(), (scratch / "to-file").c_str()), 0);
        makeDirectories(scratch / "locked/inner");
        writeFile(scratch / "locked/inner/f", "f", 0400);
        ASSERT_EQ(::chmod((scratch / "locked/inner").c_str(), 0), 0);
        ASSERT_EQ(::chmod((scratch / "locked").c_str(), 0500), 0);

        ScratchDir moved(std::move(scratch));
        EXPECT_EQ(moved.path(), path);
        EXPECT_TRUE(scratch.path().empty());
    }
    EXPECT_FALSE(pathExists(path));
    EXPECT_EQ(readFile(keep / "precious"), "p");
}

TEST(SupportProcess, CapturesExitStatusAndBothStreams) {
    const RunResult r = shell("printf out; printf 'e1\\n\\ne3\\n' >&2; exit 3");
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.termSignal, 0);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.out, "out");
    EXPECT_EQ(r.errLines(), (std::vector<std::string>{"e1", "", "e3"}));

    RunResult unterminated;
    unterminated.err = "a\nb";
    EXPECT_EQ(unterminated.errLines(), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(RunResult{}.errLines().empty());
}

TEST(SupportProcess, ReportsTerminatingSignal) {
    const RunResult r = shell("kill -TERM $$");
    EXPECT_EQ(r.exitStatus, -1);
    EXPECT_EQ(r.termSignal, SIGTERM);
}

TEST(SupportProcess, PassesArgumentsVerbatimWithProgramAsArgv0) {
    const std::vector<std::string> odd{"", "a b", "line\nbreak", "'\"$HOME`x`", "-"};
    std::vector<std::string> args{"-c",
                                  "tr '\\000\\n' '|_' < /proc/$$/cmdline | cut -d'|' -f1; "
                                  "for a; do printf '[%s]' \"$a\"; done",
                                  "script-name"};
    args.insert(args.end(), odd.begin(), odd.end());
    const RunResult r = runProgram("sh", args); // found through PATH
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "sh\n[][a b][line\nbreak]['\"$HOME`x`][-]");
}

TEST(SupportProcess, SetsReplacesAndRemovesEnvironment) {
    ::setenv("QZ_SUPPORT_REPLACED", "old", 1);
    ::setenv("QZ_SUPPORT_REMOVED", "gone", 1);
    RunOptions options;
    options.setEnv = {"QZ_SUPPORT_NEW=a=b", "QZ_SUPPORT_REPLACED=new"};
    options.unsetEnv = {"QZ_SUPPORT_REMOVED"};
    const RunResult r = shell("env | grep '^QZ_SUPPORT_' | sort", options);
    ::unsetenv("QZ_SUPPORT_REPLACED");
    ::unsetenv("QZ_SUPPORT_REMOVED");
    EXPECT_EQ(r.out, "QZ_SUPPORT_NEW=a=b\nQZ_SUPPORT_REPLACED=new\n");
}

TEST(SupportProcess, FeedsStdinThroughAPipe) {
    std::string big;
    for (int i = 0; big.size() < (1 << 20); ++i) {
        big += std::to_string(i) + "\n";
    }
    RunOptions options;
    options.stdinData = big;
    EXPECT_EQ(runProgram("cat", {}, options).out, big); // more than a pipe buffer both ways

    EXPECT_EQ(shell("[ -p /dev/stdin ] && cat && echo eof").out, "eof\n");

    // A child that never reads must not hang the runner or raise SIGPIPE in the test binary.
    options.stdinData = std::string(4 << 20, 'x');
    EXPECT_EQ(shell("exit 4", options).exitStatus, 4);
}

TEST(SupportProcess, RunsInWorkingDirectory) {
    ScratchDir dir;
    RunOptions options;
    options.workingDirectory = dir.path();
    EXPECT_EQ(shell("pwd -P", options).out, realPath(dir.path()) + "\n");

    options.workingDirectory = dir / "missing";
    EXPECT_THROW(shell("true", options), std::system_error);
}

TEST(SupportProcess, MissingProgramThrows) {
    EXPECT_THROW(runProgram("/nonexistent/qz-program", {}), std::system_error);
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

TEST(SupportProcess, OnlyStandardDescriptorsAreInherited) {
    const int leaky = ::open("/dev/null", O_RDONLY); // deliberately without O_CLOEXEC
    ASSERT_GE(leaky, 0);
    const RunResult r = shell("ls /proc/$$/fd; :");
    ::close(leaky);
    EXPECT_EQ(r.out, "0\n1\n2\n");
}

TEST(SupportChildProcess, WaitForErrSeesOutputWhileRunning) {
    ChildProcess child("/bin/sh", {"-c", "echo ready >&2; exec sleep 30"});
    ASSERT_TRUE(child.waitForErr("ready", 10));
    EXPECT_EQ(child.errSoFar(), "ready\n");
    child.signal(SIGTERM);
    const RunResult r = child.wait();
    EXPECT_EQ(r.termSignal, SIGTERM);
    EXPECT_FALSE(r.timedOut);
}

TEST(SupportChildProcess, WaitForErrGivesUpWhenChildEndsOrTimeoutPasses) {
    const auto start = std::chrono::steady_clock::now();
    ChildProcess ended("/bin/sh", {"-c", "echo other >&2"});
    EXPECT_FALSE(ended.waitForErr("ready", 10));
    EXPECT_LT(secondsSince(start), 5.0);
    EXPECT_EQ(ended.wait().errLines(), std::vector<std::string>{"other"});

    ChildProcess silent("/bin/sh", {"-c", "exec sleep 30"});
    EXPECT_FALSE(silent.waitForErr("ready", 0.2));
}

TEST(SupportChildProcess, SignalGroupReachesGrandchildren) {
    RunOptions options;
    options.outputDrainSeconds = 8; // a surviving grandchild would hold the pipes this long
    const auto start = std::chrono::steady_clock::now();
    ChildProcess child("/bin/sh", {"-c", "sleep 30 & echo started >&2; wait"}, options);
    ASSERT_TRUE(child.waitForErr("started", 10));
    child.signalGroup(SIGKILL);
    EXPECT_EQ(child.wait().termSignal, SIGKILL);
    EXPECT_LT(secondsSince(start), 5.0);
}

TEST(SupportChildProcess, DestructorKillsAndReaps) {
    pid_t pid;
    {
        ChildProcess child("sleep", {"30"});
        pid = child.pid();
        ASSERT_GT(pid, 0);
    }
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

} // namespace
} // namespace qz::test
