#include "process/install_agent_commands.h"

#include "base/settings.h"
#include "process/shell.h"
#include "support/env_guard.h"
#include "support/files.h"
#include "support/message_capture.h"
#include "support/zip_builder.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

class UnzipInstallAgent : public ::testing::Test {
  protected:
    void SetUp() override {
        test::capturedMessages().clear();
    }
    test::ScratchDir dir;
    const Settings settings;
};

TEST_F(UnzipInstallAgent, MissingArchiveRunsNothingAndSaysNothing) {
    // A stand-in unzip that leaves a mark if it is ever run.
    const std::string fakeUnzip = dir / "fake unzip";
    test::writeFile(fakeUnzip, "#!/bin/sh\ntouch \"$(dirname \"$0\")/ran\"\n", 0755);
    EXPECT_FALSE(unzipInstallAgent(dir / "missing.zip", dir / "out", fakeUnzip,
                                   test::captureMessage, settings));
    EXPECT_FALSE(test::pathExists(dir / "ran"));
    EXPECT_TRUE(test::capturedMessages().empty());
}

TEST_F(UnzipInstallAgent, UnpacksIntoADestinationWithAwkwardCharacters) {
    const std::string archive = dir / "agent $(x) `y`.zip";
    test::writeZip(archive, {{"install", "echo hi\n"}, {"lib/data.txt", "data"}});
    const std::string destination = dir / "dest with space \"q\" $HOME";
    ASSERT_TRUE(unzipInstallAgent(archive, destination, "unzip", test::captureMessage, settings));
    EXPECT_EQ(test::readFile(destination + "/install"), "echo hi\n");
    EXPECT_EQ(test::readFile(destination + "/lib/data.txt"), "data");
    EXPECT_TRUE(test::capturedMessages().empty());
}

TEST_F(UnzipInstallAgent, OverwritesAnEarlierUnpackingWithoutAsking) {
    const std::string archive = dir / "a.zip";
    test::makeDirectories(dir / "dest");
    test::writeFile(dir / "dest/install", "old");
    test::writeZip(archive, {{"install", "new"}});
    EXPECT_TRUE(unzipInstallAgent(archive, dir / "dest", "unzip", test::captureMessage, settings));
    EXPECT_EQ(test::readFile(dir / "dest/install"), "new");
}

TEST_F(UnzipInstallAgent, ABrokenArchiveOrADirectoryIsReportedOnce) {
    test::writeFile(dir / "broken.zip", "PK\x03\x04 this is not really an archive");
    EXPECT_FALSE(
        unzipInstallAgent(dir / "broken.zip", dir / "o1", "unzip", test::captureMessage, settings));
    test::makeDirectories(dir / "adir");
    EXPECT_FALSE(
        unzipInstallAgent(dir / "adir", dir / "o2", "unzip", test::captureMessage, settings));
    EXPECT_FALSE(unzipInstallAgent(dir / "broken.zip", dir / "o3", "no-such-unzip-qz",
                                   test::captureMessage, settings));
    const std::string failed = "Failed to unzip the install agent";
    const std::vector<std::string> expected = {
        failed, failed,
        "The program no-such-unzip-qz is needed to unpack the install agent but was not found: "
        "install the package unzip.",
        failed};
    EXPECT_EQ(test::capturedTexts(), expected);
    for (const auto& m : test::capturedMessages()) {
        EXPECT_TRUE(m.isError);
    }
}

TEST_F(UnzipInstallAgent, UnzipOptionsFromTheEnvironmentAreIgnored) {
    // "-:" would let "../" entries write outside the destination.
    test::EnvGuard unzipOpts("UNZIP", "-:");
    test::EnvGuard unzipOpt("UNZIPOPT", "-:");
    test::makeDirectories(dir / "inner/dest");
    test::writeZip(dir / "evil.zip", {{"install", "x"}, {"../escaped", "boom"}});
    // unzip strips the "../" (with or without complaint); nothing lands outside.
    unzipInstallAgent(dir / "evil.zip", dir / "inner/dest", "unzip", test::captureMessage,
                      settings);
    EXPECT_FALSE(test::pathExists(dir / "inner/escaped"));
    EXPECT_FALSE(test::pathExists(dir / "escaped"));
}

// An install agent that records each argument it receives, NUL-terminated.
std::vector<std::string> launchAndRecord(const test::ScratchDir& dir,
                                         const std::string& bundleDirectory,
                                         std::vector<std::string> args) {
    const std::string agent = dir / "agent dir/install";
    test::makeDirectories(dir / "agent dir");
    test::writeFile(agent, "for a in \"$0\" \"$@\"; do printf '%s\\0' \"$a\"; done > \"$(dirname "
                           "\"$0\")/args\"\nexit 7\n");
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    test::capturedMessages().clear();
    EXPECT_TRUE(fireInstallAgentWithArgs(agent, "sh " + smart_quote(agent), bundleDirectory,
                                         static_cast<int>(args.size()), argv.data(),
                                         test::captureMessage, Settings{}));
    EXPECT_TRUE(test::capturedMessages().empty());
    std::vector<std::string> received;
    const std::string raw = test::readFile(dir / "agent dir/args");
    for (std::size_t start = 0, end; (end = raw.find('\0', start)) != std::string::npos;
         start = end + 1) {
        received.push_back(raw.substr(start, end - start));
    }
    return received;
}

TEST(FireInstallAgentWithArgs, WithoutArgumentsTheAgentGetsTheProductArchiveOnly) {
    test::ScratchDir dir;
    const auto received = launchAndRecord(dir, "/bundle dir/Resources", {"bootstrapper"});
    const std::vector<std::string> expected = {dir / "agent dir/install", "-installbundle",
                                               "/bundle dir/Resources/bundle.zip"};
    EXPECT_EQ(received, expected);
}

TEST(FireInstallAgentWithArgs, ForwardedArgumentsArriveWholeAndLiteral) {
    test::ScratchDir dir;
    const std::vector<std::string> forwarded = {
        "--dest", "a b", "",  "$(touch pwned)", "`touch pwned`", "x;touch pwned", "line\nbreak",
        "\"q\"",  "'s'", "\\"};
    std::vector<std::string> args = {"bootstrapper"};
    args.insert(args.end(), forwarded.begin(), forwarded.end());
    const auto received = launchAndRecord(dir, "", args);
    std::vector<std::string> expected = {dir / "agent dir/install", "-installbundle",
                                         "/bundle.zip"};
    expected.insert(expected.end(), forwarded.begin(), forwarded.end());
    EXPECT_EQ(received, expected);
    EXPECT_FALSE(test::pathExists(dir / "pwned"));
    EXPECT_FALSE(test::pathExists("pwned"));
}

} // namespace
} // namespace qz
