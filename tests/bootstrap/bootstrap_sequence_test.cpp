#include "bootstrap/bootstrap_sequence.h"

#include "base/settings.h"
#include "process/shell.h"
#include "support/env_guard.h"
#include "support/files.h"
#include "support/message_capture.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace qz {
namespace {

// Sourcing and the launch return their `result` and record what they were given.
struct FakeLayers : SequenceLayers {
    std::string sourceInstallAgent(std::string scratchDirectory, std::string endpointUrl,
                                   MessageReporter, const Settings&) override {
        ++sourcing.calls;
        sourcing.scratchDirectory = scratchDirectory;
        sourcing.endpointUrl = endpointUrl;
        return sourcing.result;
    }
    bool fireInstallAgentWithArgs(std::string program, std::string commandPrefix,
                                  std::string bundleDirectory, int argc, char** argv,
                                  MessageReporter, const Settings&) override {
        ++launch.calls;
        launch.program = program;
        launch.commandPrefix = commandPrefix;
        launch.bundleDirectory = bundleDirectory;
        launch.arguments.assign(argv, argv + argc);
        return launch.result;
    }

    struct {
        int calls = 0;
        std::string scratchDirectory;
        std::string endpointUrl;
        std::string result;
    } sourcing;
    struct {
        int calls = 0;
        std::string program;
        std::string commandPrefix;
        std::string bundleDirectory;
        std::vector<std::string> arguments;
        bool result = true;
    } launch;
};

// The sequence between stand-ins for sourcing and launching, in an installer folder of its own.
class BootstrapSequence : public ::testing::Test {
  protected:
    BootstrapSequence()
        : tmp_("TMPDIR", root / "tmp"),
          unitTest_("__QZ_BOOTSTRAP_INSTALLER_UNITTEST__", std::nullopt) {
        test::makeDirectories(root / "tmp");
        test::makeDirectories(resources);
        settings.executablePath = resources + "/setup";
        layers.sourcing.result = root / "agent dir/install";
        test::capturedMessages().clear();
    }

    int run(std::vector<std::string> args = {"setup"}) {
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        return bootstrapInstallerMainFunc(static_cast<int>(args.size()), argv.data(),
                                          test::captureMessage, settings, layers);
    }

    FakeLayers layers;
    test::ScratchDir root;
    const std::string resources = root / "Installer";
    Settings settings;
    test::EnvGuard tmp_;
    test::EnvGuard unitTest_;
};

TEST_F(BootstrapSequence, SourcesFromAFreshScratchDirectoryThenLaunchesWithTheBundle) {
    test::writeFile(resources + "/installAgentURL.txt", "http://h/a.zip\nsecond\n");
    EXPECT_EQ(run({"setup", "a b", ""}), 0);
    const auto& sourcing = layers.sourcing;
    EXPECT_TRUE(sourcing.scratchDirectory.starts_with(root / "tmp/qz"))
        << sourcing.scratchDirectory;
    EXPECT_EQ(sourcing.endpointUrl, "http://h/a.zip");
    const auto& launch = layers.launch;
    EXPECT_EQ(launch.program, root / "agent dir/install");
    EXPECT_EQ(launch.commandPrefix, "sh " + smart_quote(root / "agent dir/install"));
    EXPECT_EQ(launch.bundleDirectory, resources);
    EXPECT_EQ(launch.arguments, (std::vector<std::string>{"setup", "a b", ""}));
    // The scratch directory is gone once the sequence returns.
    EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
    EXPECT_TRUE(test::capturedMessages().empty());
}

TEST_F(BootstrapSequence, FailuresOfSourcingAndLaunchEndTheRun) {
    layers.sourcing.result = "";
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(layers.launch.calls, 0);
    EXPECT_TRUE(test::capturedMessages().empty());

    layers.sourcing.result = "/agent/install";
    layers.launch.result = false;
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(test::capturedTexts(), std::vector<std::string>{"Failed to start the install agent"});
    EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
}

TEST_F(BootstrapSequence, TheUnitTestVariableMakesTheExecutablesDirectoryTheScratchDirectory) {
    test::EnvGuard set("__QZ_BOOTSTRAP_INSTALLER_UNITTEST__", "");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(layers.sourcing.scratchDirectory, root.path());
    EXPECT_EQ(layers.sourcing.endpointUrl, "");
    EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
}

} // namespace
} // namespace qz
