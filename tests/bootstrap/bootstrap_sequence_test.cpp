#include "bootstrap/bootstrap_sequence.h"

#include "base/settings.h"
#include "fakes/fakes.h"
#include "process/shell.h"
#include "support/env_guard.h"
#include "support/files.h"
#include "support/message_capture.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

// The sequence between stand-ins for sourcing and launching, in an installer folder of its own.
class BootstrapSequence : public ::testing::Test {
  protected:
    BootstrapSequence()
        : tmp_("TMPDIR", root / "tmp"),
          unitTest_("__QZ_BOOTSTRAP_INSTALLER_UNITTEST__", std::nullopt) {
        test::makeDirectories(root / "tmp");
        test::makeDirectories(resources);
        settings.executablePath = resources + "/setup";
        test::fakeSourcing() = {};
        test::fakeSourcing().result = root / "agent dir/install";
        test::fakeLaunch() = {};
        test::capturedMessages().clear();
    }

    int run(std::vector<std::string> args = {"setup"}) {
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        return bootstrapInstallerMainFunc(static_cast<int>(args.size()), argv.data(),
                                          test::captureMessage, settings);
    }

    test::ScratchDir root;
    const std::string resources = root / "Installer";
    Settings settings;
    test::EnvGuard tmp_;
    test::EnvGuard unitTest_;
};

TEST_F(BootstrapSequence, SourcesFromAFreshScratchDirectoryThenLaunchesWithTheBundle) {
    test::writeFile(resources + "/installAgentURL.txt", "http://h/a.zip\nsecond\n");
    EXPECT_EQ(run({"setup", "a b", ""}), 0);
    const auto& sourcing = test::fakeSourcing();
    EXPECT_TRUE(sourcing.scratchDirectory.starts_with(root / "tmp/qz"))
        << sourcing.scratchDirectory;
    EXPECT_EQ(sourcing.endpointUrl, "http://h/a.zip");
    const auto& launch = test::fakeLaunch();
    EXPECT_EQ(launch.program, root / "agent dir/install");
    EXPECT_EQ(launch.commandPrefix, "sh " + smart_quote(root / "agent dir/install"));
    EXPECT_EQ(launch.bundleDirectory, resources);
    EXPECT_EQ(launch.arguments, (std::vector<std::string>{"setup", "a b", ""}));
    // The scratch directory is gone once the sequence returns.
    EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
    EXPECT_TRUE(test::capturedMessages().empty());
}

TEST_F(BootstrapSequence, FailuresOfSourcingAndLaunchEndTheRun) {
    test::fakeSourcing().result = "";
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(test::fakeLaunch().calls, 0);
    EXPECT_TRUE(test::capturedMessages().empty());

    test::fakeSourcing().result = "/agent/install";
    test::fakeLaunch().result = false;
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(test::capturedTexts(), std::vector<std::string>{"Failed to start the install agent"});
    EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
}

TEST_F(BootstrapSequence, TheUnitTestVariableMakesTheExecutablesDirectoryTheScratchDirectory) {
    test::EnvGuard set("__QZ_BOOTSTRAP_INSTALLER_UNITTEST__", "");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(test::fakeSourcing().scratchDirectory, root.path());
    EXPECT_EQ(test::fakeSourcing().endpointUrl, "");
    EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
}

} // namespace
} // namespace qz
