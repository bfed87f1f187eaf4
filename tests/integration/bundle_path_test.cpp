#include "support/files.h"
#include "support/installer_folder.h"
#include "support/subprocess.h"
#include "support/zip_builder.h"

#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

namespace qz {
namespace {

// One user's machine: a home, a temporary directory, a working directory, all private.
class BundlePath : public ::testing::Test {
  protected:
    test::RunResult run(const std::string& executable, const std::vector<std::string>& args,
                        std::vector<std::string> extraEnv = {}) {
        const auto options = test::userRunOptions(root.path(), record(), extraEnv);
        return test::runProgram(executable, args, options);
    }
    std::string record() const {
        return root / "record";
    }
    void SetUp() override {
        for (const char* d : {"home", "tmp", "cwd"}) {
            test::makeDirectories(root / d);
        }
    }
    void expectNothingLeftBehind() {
        EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
        EXPECT_TRUE(test::listDirectory(root / "cwd").empty());
    }
    std::vector<std::string> expectedArgs(const std::string& agentPrefix,
                                          const std::string& resources,
                                          const std::vector<std::string>& forwarded) {
        std::vector<std::string> args = {agentPrefix + "/install", "-installbundle",
                                         resources + "/bundle.zip"};
        args.insert(args.end(), forwarded.begin(), forwarded.end());
        return args;
    }

    test::ScratchDir root;
};

// The agent runs from a scratch directory "qz" + 6 characters inside TMPDIR.
void expectScratchAgent(const std::vector<std::string>& received, const std::string& tmp) {
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received[0].rfind(tmp + "/qz", 0), 0u) << received[0];
    EXPECT_EQ(received[0].size(), tmp.size() + 1 + 8 + std::string("/install").size());
}

TEST_F(BundlePath, FlatFolderStartsTheAgentWithTheProductArchiveAndTheArguments) {
    const auto installer = test::makeFlatInstaller(root / "Installer");
    test::writeZip(installer.resources + "/InstallAgent.zip",
                   {{"install", test::recordingAgentScript()}});
    const auto result = run(installer.executable, {"--dest", "/opt/product"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, "agent ran\n");
    EXPECT_EQ(result.err, "");
    const auto received = test::recordedArguments(record());
    expectScratchAgent(received, root / "tmp");
    ASSERT_EQ(received.size(), 5u);
    EXPECT_EQ(received, expectedArgs(received[0].substr(0, received[0].size() - 8),
                                     installer.resources, {"--dest", "/opt/product"}));
    expectNothingLeftBehind();
}

TEST_F(BundlePath, AnInstallerFolderWithAPathOfMoreThan1024BytesIsFound) {
    std::string folder = root / "Installer";
    while (folder.size() <= 1500) {
        folder += "/" + std::string(200, 'd');
    }
    const auto installer = test::makeFlatInstaller(folder);
    test::writeZip(installer.resources + "/InstallAgent.zip",
                   {{"install", test::recordingAgentScript()}});
    const auto result = run(installer.executable, {});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const auto received = test::recordedArguments(record());
    ASSERT_EQ(received.size(), 3u) << result.err;
    EXPECT_EQ(received[2], folder + "/bundle.zip");
}

TEST_F(BundlePath, AppBundleTakesItsResourcesFromContentsResources) {
    const auto installer = test::makeAppInstaller(root / "Setup.app");
    test::writeZip(installer.resources + "/InstallAgent.zip",
                   {{"install", test::recordingAgentScript()}});
    const auto result = run(installer.executable, {});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const auto received = test::recordedArguments(record());
    ASSERT_EQ(received.size(), 3u);
    expectScratchAgent(received, root / "tmp");
    EXPECT_EQ(received[1], "-installbundle");
    EXPECT_EQ(received[2], root / "Setup.app/Contents/Resources/bundle.zip");
    expectNothingLeftBehind();
}

TEST_F(BundlePath, AnotherArchiveNameIsFoundWhenTheDefaultIsMissing) {
    const auto installer = test::makeAppInstaller(root / "Setup.app");
    test::writeZip(installer.resources + "/InstallAgent_2026.zip",
                   {{"install", test::recordingAgentScript()}});
    test::writeFile(installer.resources + "/InstallAgent_x.zip.part", "not an archive");
    const auto result = run(installer.executable, {"a"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(test::recordedArguments(record()).size(), 4u);
    expectNothingLeftBehind();
}

TEST_F(BundlePath, HostilePathsAndArgumentsArriveLiterallyAndRunNothing) {
    const std::string folder = root / "My Installer $(touch pwned1) `touch pwned2`; "
                                      "touch pwned3 \"q\" 'a' \\ \nnext";
    const auto installer = test::makeFlatInstaller(folder);
    test::writeZip(installer.resources + "/InstallAgent.zip",
                   {{"install", test::recordingAgentScript()}});
    const std::vector<std::string> forwarded = {"two words",
                                                "",
                                                "$(touch pwned4)",
                                                "`touch pwned5`",
                                                "; touch pwned6",
                                                "a\nb",
                                                "\"",
                                                "'",
                                                "\\",
                                                "$HOME",
                                                "*",
                                                "--opt=value with space"};
    const auto result = run(installer.executable, forwarded);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const auto received = test::recordedArguments(record());
    ASSERT_EQ(received.size(), 3 + forwarded.size());
    EXPECT_EQ(received[2], folder + "/bundle.zip");
    EXPECT_EQ(std::vector<std::string>(received.begin() + 3, received.end()), forwarded);
    for (const std::string& dir : {root.path(), root / "cwd", root / "home", folder}) {
        for (int i = 1; i <= 6; ++i) {
            EXPECT_FALSE(test::pathExists(dir + "/pwned" + std::to_string(i))) << dir;
        }
    }
    expectNothingLeftBehind();
}

TEST_F(BundlePath, TheAgentsOwnFailureIsNotTheBootstrappers) {
    const auto installer = test::makeFlatInstaller(root / "Installer");
    test::writeZip(installer.resources + "/InstallAgent.zip",
                   {{"install", test::recordingAgentScript()}});
    const auto result = run(installer.executable, {}, {"QZ_TEST_AGENT_STATUS=3"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, "agent ran\n");
    expectNothingLeftBehind();
}

TEST_F(BundlePath, TheAgentGetsTheEnvironmentAsTheUserLeftIt) {
    // With a display, the bootstrapper sets GDK_GL for its own window only.
    const auto installer = test::makeFlatInstaller(root / "Installer");
    test::writeZip(installer.resources + "/InstallAgent.zip",
                   {{"install", "echo \"GDK_GL=${GDK_GL-unset}\"\n"}});
    EXPECT_EQ(run(installer.executable, {}, {"DISPLAY=:99"}).out, "GDK_GL=unset\n");
    EXPECT_EQ(run(installer.executable, {}, {"DISPLAY=:99", "GDK_GL=always"}).out,
              "GDK_GL=always\n");
}

TEST_F(BundlePath, NoArchiveAndNoDownloadFails) {
    const auto installer = test::makeFlatInstaller(root / "Installer");
    const auto result = run(installer.executable, {});
    EXPECT_EQ(result.exitStatus, 255);
    ASSERT_FALSE(result.errLines().empty());
    EXPECT_EQ(result.errLines().back(), "Installation failed.");
    EXPECT_TRUE(test::recordedArguments(record()).empty());
    expectNothingLeftBehind();
}

TEST_F(BundlePath, ABrokenArchiveFailsWithItsThreeMessages) {
    const auto installer = test::makeFlatInstaller(root / "Installer");
    test::writeFile(installer.resources + "/InstallAgent.zip", "PK\x03\x04 truncated");
    const auto result = run(installer.executable, {});
    EXPECT_EQ(result.exitStatus, 255);
    auto lines = result.errLines();
    // unzip's own complaints come first; ours are the last three lines.
    ASSERT_GE(lines.size(), 3u) << result.err;
    lines.erase(lines.begin(), lines.end() - 3);
    EXPECT_EQ(lines, (std::vector<std::string>{"Failed to unzip the install agent",
                                               "Failed to initialize the install agent.",
                                               "Installation failed."}));
    expectNothingLeftBehind();
}

TEST_F(BundlePath, WithoutUnzipTheFailureFirstNamesTheProgramAndItsPackage) {
    const auto installer = test::makeFlatInstaller(root / "Installer");
    test::writeZip(installer.resources + "/InstallAgent.zip", {{"install", "exit 0"}});
    const auto result = run(installer.executable, {}, {"PATH=" + root / "cwd"}); // empty
    EXPECT_EQ(result.exitStatus, 255);
    // Ours alone: the shell is never asked for it.
    EXPECT_EQ(result.err,
              "The program unzip is needed to unpack the install agent but was not found: install "
              "the package unzip.\nFailed to unzip the install agent\nFailed to initialize the "
              "install agent.\nInstallation failed.\n");
    expectNothingLeftBehind();
}

TEST_F(BundlePath, CtrlCWhileUnzipRunsEndsTheRunAsACancelledUnpack) {
    const auto installer = test::makeFlatInstaller(root / "Installer");
    test::writeZip(installer.resources + "/InstallAgent.zip",
                   {{"install", test::recordingAgentScript()}});
    // An unzip that unpacks, says so, and waits to be stopped as a terminal stops it.
    test::makeDirectories(root / "bin");
    test::writeFile(root / "bin/unzip",
                    "#!/bin/sh\n/usr/bin/unzip \"$@\"\necho 'unzip waits' >&2\nexec sleep 30\n",
                    0755);
    test::ChildProcess child(
        installer.executable, {},
        test::userRunOptions(root.path(), record(),
                             {"PATH=" + (root / "bin") + ":" + std::getenv("PATH")}));
    ASSERT_TRUE(child.waitForErr("unzip waits", 5.0)) << child.errSoFar();
    child.signalGroup(SIGINT); // the terminal's Ctrl-C reaches the whole foreground group
    const auto result = child.wait();
    EXPECT_EQ(result.exitStatus, 255) << result.err;
    EXPECT_EQ(result.errLines(), (std::vector<std::string>{"unzip waits", "Installation failed."}));
    EXPECT_TRUE(test::recordedArguments(record()).empty());
    expectNothingLeftBehind();
}

TEST_F(BundlePath, AnEncryptedArchiveFailsAtOnceEvenOnATerminal) {
    const auto installer = test::makeFlatInstaller(root / "Installer");
    test::makeDirectories(root / "agent");
    test::writeFile(root / "agent/install", test::recordingAgentScript());
    test::RunOptions zipOptions;
    zipOptions.workingDirectory = root / "agent";
    ASSERT_EQ(test::runProgram(
                  "zip",
                  {"-q", "-P", "secret", installer.resources + "/InstallAgent.zip", "install"},
                  zipOptions)
                  .exitStatus,
              0);
    // unzip asks the controlling terminal for a password.
    test::PseudoTerminal terminal;
    auto options = test::userRunOptions(root.path(), record());
    options.controllingTerminal = terminal.device();
    options.timeoutSeconds = 5;
    const auto result = test::runProgram(installer.executable, {}, options);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 255);
    auto lines = result.errLines();
    ASSERT_GE(lines.size(), 3u) << result.err;
    lines.erase(lines.begin(), lines.end() - 3);
    EXPECT_EQ(lines, (std::vector<std::string>{"Failed to unzip the install agent",
                                               "Failed to initialize the install agent.",
                                               "Installation failed."}));
    EXPECT_TRUE(test::recordedArguments(record()).empty());
    expectNothingLeftBehind();
}

TEST_F(BundlePath, AnAgentWithALockedDirectoryIsRemovedAllTheSame) {
    const auto installer = test::makeFlatInstaller(root / "Installer");
    test::writeZip(installer.resources + "/InstallAgent.zip",
                   {{"install", test::recordingAgentScript()},
                    {"locked/", "", test::ZipEntry::Kind::Directory, 0},
                    {"locked/inner/file", "x"}});
    // As a user without root's power to ignore permissions.
    std::string program = installer.executable;
    std::vector<std::string> args;
    if (::geteuid() == 0) {
        program = "setpriv";
        args = {"--bounding-set", "-dac_override,-dac_read_search,-fowner", "--",
                installer.executable};
    }
    const auto result =
        test::runProgram(program, args, test::userRunOptions(root.path(), record()));
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(test::recordedArguments(record()).size(), 3u);
    expectNothingLeftBehind();
}

TEST_F(BundlePath, AnArchiveWithoutTheInstallScriptIsNotTakenAsStarted) {
    const auto installer = test::makeFlatInstaller(root / "Installer");
    test::writeZip(installer.resources + "/InstallAgent.zip",
                   {{"bin/install", test::recordingAgentScript()}});
    const auto result = run(installer.executable, {});
    EXPECT_EQ(result.exitStatus, 255);
    EXPECT_EQ(result.errLines(),
              (std::vector<std::string>{"Failed to initialize the install agent.",
                                        "Installation failed."}));
    expectNothingLeftBehind();
}

TEST_F(BundlePath, AnEmptyOrMissingUrlFileDoesNotMatterForTheBundle) {
    const auto installer = test::makeFlatInstaller(root / "Installer");
    test::writeZip(installer.resources + "/InstallAgent.zip",
                   {{"install", test::recordingAgentScript()}});
    EXPECT_EQ(run(installer.executable, {}).exitStatus, 0);
    test::writeFile(installer.resources + "/installAgentURL.txt", "");
    EXPECT_EQ(run(installer.executable, {}).exitStatus, 0);
    expectNothingLeftBehind();
}

TEST_F(BundlePath, AnUnusableTMPDIRGivesWayToSlashTmpAndLeavesTheInstallersFolderAlone) {
    const auto installer = test::makeFlatInstaller(root / "Installer");
    test::writeZip(installer.resources + "/InstallAgent.zip",
                   {{"install", test::recordingAgentScript()}});
    const auto before = test::listDirectory(installer.resources);
    // Missing, not writable (even for root), relative.
    for (const std::string& tmp : {root / "missing", std::string("/proc"), std::string(".")}) {
        SCOPED_TRACE(tmp);
        ::unlink(record().c_str());
        const auto result = run(installer.executable, {}, {"TMPDIR=" + tmp});
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        const auto received = test::recordedArguments(record());
        expectScratchAgent(received, "/tmp");
        if (!received.empty()) {
            EXPECT_FALSE(test::pathExists(received[0].substr(0, received[0].rfind('/'))));
        }
        EXPECT_EQ(test::listDirectory(installer.resources), before);
        expectNothingLeftBehind();
    }
}

TEST_F(BundlePath, TheUnitTestVariableUsesTheExecutablesDirectoryEvenWhenEmpty) {
    const auto installer = test::makeAppInstaller(root / "Setup.app");
    test::writeZip(installer.resources + "/InstallAgent.zip",
                   {{"install", test::recordingAgentScript()}});
    const auto result = run(installer.executable, {}, {"__QZ_BOOTSTRAP_INSTALLER_UNITTEST__="});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    const auto received = test::recordedArguments(record());
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received[0], root / "install");
    // The scratch directory was still made and removed.
    expectNothingLeftBehind();
}

} // namespace
} // namespace qz
