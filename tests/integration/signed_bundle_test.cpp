#include "support/files.h"
#include "support/installer_folder.h"
#include "support/minisign_keys.h"
#include "support/subprocess.h"
#include "support/zip_builder.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace qz {
namespace {

// An installer that carries a key and a signed install agent, run as a user runs it, with an
// `unzip` on the PATH that notes each time it is run.
class SignedBundle : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        keysDir = new test::ScratchDir;
        keys = test::makeMinisignKeys(keysDir->path());
    }
    static void TearDownTestSuite() {
        delete keysDir;
    }

    void SetUp() override {
        for (const char* d : {"home", "tmp", "cwd", "bin"}) {
            test::makeDirectories(root / d);
        }
        test::writeFile(root / "bin/unzip",
                        "#!/bin/sh\necho ran >> '" + unzipLog() + "'\nexec /usr/bin/unzip \"$@\"\n",
                        0755);
    }

    // An installer in `layout` ("flat" or "app") whose archive `name` is signed.
    test::InstallerFolder signedInstaller(const std::string& layout, const std::string& name) {
        const auto installer = layout == "app" ? test::makeAppInstaller(root / "Setup.app")
                                               : test::makeFlatInstaller(root / "Installer");
        const std::string archive = installer.resources + "/" + name;
        test::writeZip(archive, {{"install", test::recordingAgentScript()}});
        test::minisignSign(keys, archive,
                           test::releaseComment(name, 3, test::readFile(archive).size()));
        test::writeFile(installer.resources + "/installAgentKey.pub",
                        test::readFile(keys.publicKey));
        return installer;
    }

    test::RunResult run(const test::InstallerFolder& installer) {
        const std::string path = "PATH=" + (root / "bin") + ":" + std::getenv("PATH");
        return test::runProgram(installer.executable, {"--go"},
                                test::userRunOptions(root.path(), root / "record", {path}));
    }

    std::string unzipLog() const {
        return root / "unzip.log";
    }

    static inline test::ScratchDir* keysDir = nullptr;
    static inline test::MinisignKeys keys;
    test::ScratchDir root;
};

TEST_F(SignedBundle, ASignedArchiveIsUnpackedAndStarted) {
    for (const auto& [layout, name] :
         {std::pair{"flat", "InstallAgent.zip"}, std::pair{"app", "InstallAgent_2026.zip"}}) {
        SCOPED_TRACE(layout);
        const auto result = run(signedInstaller(layout, name));
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, "agent ran\n");
        EXPECT_EQ(test::recordedArguments(root / "record").back(), "--go");
        EXPECT_EQ(test::readFile(unzipLog()), "ran\n");
        test::removeTree(unzipLog());
    }
}

TEST_F(SignedBundle, AFaultySignatureFailsClosedBeforeUnzip) {
    const std::string refused = "The install agent archive InstallAgent.zip is not trusted: ";
    const std::pair<std::string, std::string> faults[] = {
        {"tampered", refused + "the signature does not match it."},
        {"unsigned", refused + "its signature InstallAgent.zip.minisig is missing."},
    };
    for (const auto& [fault, message] : faults) {
        SCOPED_TRACE(fault);
        test::removeTree(root / "Installer");
        const auto installer = signedInstaller("flat", "InstallAgent.zip");
        const std::string archive = installer.resources + "/InstallAgent.zip";
        if (fault == "tampered") {
            std::string bytes = test::readFile(archive);
            bytes[bytes.find("agent ran")] = 'A';
            test::writeFile(archive, bytes);
        } else {
            test::removeTree(archive + ".minisig");
        }
        const auto result = run(installer);
        EXPECT_EQ(result.exitStatus, 255);
        EXPECT_EQ(result.errLines(),
                  (std::vector<std::string>{message, "Failed to initialize the install agent.",
                                            "Installation failed."}));
        EXPECT_EQ(result.out, "");
        EXPECT_FALSE(test::pathExists(unzipLog()));
        EXPECT_TRUE(test::recordedArguments(root / "record").empty());
        EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
    }
}

} // namespace
} // namespace qz
