#include "process/unzip.h"

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
};

TEST_F(UnzipInstallAgent, MissingArchiveRunsNothingAndSaysNothing) {
    // A stand-in unzip that leaves a mark if it is ever run.
    const std::string fakeUnzip = dir / "fake unzip";
    test::writeFile(fakeUnzip, "#!/bin/sh\ntouch \"$(dirname \"$0\")/ran\"\n", 0755);
    EXPECT_FALSE(
        unzipInstallAgent(dir / "missing.zip", dir / "out", fakeUnzip, test::captureMessage));
    EXPECT_FALSE(test::pathExists(dir / "ran"));
    EXPECT_TRUE(test::capturedMessages().empty());
}

TEST_F(UnzipInstallAgent, UnpacksIntoADestinationWithAwkwardCharacters) {
    const std::string archive = dir / "agent $(x) `y`.zip";
    test::writeZip(archive, {{"install", "echo hi\n"}, {"lib/data.txt", "data"}});
    const std::string destination = dir / "dest with space \"q\" $HOME";
    ASSERT_TRUE(unzipInstallAgent(archive, destination, "unzip", test::captureMessage));
    EXPECT_EQ(test::readFile(destination + "/install"), "echo hi\n");
    EXPECT_EQ(test::readFile(destination + "/lib/data.txt"), "data");
    EXPECT_TRUE(test::capturedMessages().empty());
}

TEST_F(UnzipInstallAgent, OverwritesAnEarlierUnpackingWithoutAsking) {
    const std::string archive = dir / "a.zip";
    test::makeDirectories(dir / "dest");
    test::writeFile(dir / "dest/install", "old");
    test::writeZip(archive, {{"install", "new"}});
    EXPECT_TRUE(unzipInstallAgent(archive, dir / "dest", "unzip", test::captureMessage));
    EXPECT_EQ(test::readFile(dir / "dest/install"), "new");
}

TEST_F(UnzipInstallAgent, ABrokenArchiveOrADirectoryIsReportedOnce) {
    test::writeFile(dir / "broken.zip", "PK\x03\x04 this is not really an archive");
    EXPECT_FALSE(unzipInstallAgent(dir / "broken.zip", dir / "o1", "unzip", test::captureMessage));
    test::makeDirectories(dir / "adir");
    EXPECT_FALSE(unzipInstallAgent(dir / "adir", dir / "o2", "unzip", test::captureMessage));
    EXPECT_FALSE(unzipInstallAgent(dir / "broken.zip", dir / "o3", "no-such-unzip-qz",
                                   test::captureMessage));
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
    unzipInstallAgent(dir / "evil.zip", dir / "inner/dest", "unzip", test::captureMessage);
    EXPECT_FALSE(test::pathExists(dir / "inner/escaped"));
    EXPECT_FALSE(test::pathExists(dir / "escaped"));
}

} // namespace
} // namespace qz
