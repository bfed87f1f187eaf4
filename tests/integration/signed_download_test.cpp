#include "support/files.h"
#include "support/installer_folder.h"
#include "support/minisign_keys.h"
#include "support/nginx_server.h"
#include "support/process_runner.h"
#include "support/zip_builder.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>

namespace qz {
namespace {

const std::string CACHE = "/.velmor/app_installer_cache/V1904c/maci64/";

// A downloading installer that carries a key, and nginx publishing a signed install agent.
class SignedDownload : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        keysDir = new test::ScratchDir;
        keys = test::makeMinisignKeys(keysDir->path(), "release");
        otherKeys = test::makeMinisignKeys(keysDir->path(), "other");
    }
    static void TearDownTestSuite() {
        delete keysDir;
    }

    void SetUp() override {
        if (!test::NginxServer::available()) {
            GTEST_SKIP() << "nginx is not installed (scripts/setup-debian.sh test)";
        }
        for (const char* d : {"home", "tmp", "cwd"}) {
            test::makeDirectories(root / d);
        }
        server = std::make_unique<test::NginxServer>();
        ASSERT_TRUE(server->waitUntilReady()) << server->errorLog();
        installer = test::makeFlatInstaller(root / "Installer");
        test::writeFile(installer.resources + "/installAgentURL.txt", server->httpUrl() + "\n");
        test::writeFile(installer.resources + "/installAgentKey.pub",
                        test::readFile(keys.publicKey));
    }

    std::string archive() const {
        return server->root() + "/InstallAgent.zip";
    }

    // Publishes an agent of this version with its signature, made as `sign` says.
    void publish(std::uint64_t version,
                 const std::function<void(const std::string& archive)>& sign = nullptr) {
        test::writeZip(archive(), {{"install", "echo 'agent " + std::to_string(version) + "'\n" +
                                                   test::recordingAgentScript()}});
        if (sign) {
            sign(archive());
        } else {
            test::minisignSign(keys, archive(),
                               test::releaseComment("InstallAgent.zip", version,
                                                    test::readFile(archive()).size()));
        }
    }

    test::RunResult run() {
        ::unlink((root / "record").c_str());
        return test::runProgram(installer.executable, {},
                                test::userRunOptions(root.path(), root / "record"));
    }

    std::string cache() const {
        return root / "home" + CACHE;
    }

    void expectRefused(const test::RunResult& result) {
        EXPECT_EQ(result.exitStatus, 255) << result.err;
        ASSERT_FALSE(result.errLines().empty());
        EXPECT_EQ(result.errLines().back(), "Installation failed.");
        EXPECT_NE(result.err.find(" is not trusted: "), std::string::npos) << result.err;
        EXPECT_TRUE(test::recordedArguments(root / "record").empty());
        EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
    }

    static inline test::ScratchDir* keysDir = nullptr;
    static inline test::MinisignKeys keys;
    static inline test::MinisignKeys otherKeys;
    test::ScratchDir root;
    std::unique_ptr<test::NginxServer> server;
    test::InstallerFolder installer;
};

TEST_F(SignedDownload, ASignedAgentIsCheckedCachedWithItsVersionAndStarted) {
    publish(3);
    const auto first = run();
    EXPECT_EQ(first.exitStatus, 0) << first.err;
    EXPECT_EQ(first.out, "agent 3\nagent ran\n");
    EXPECT_EQ(test::readFile(cache() + ".version"), "3\n");
    // A cache hit stays a cache hit: nginx answers 304 and sends no archive.
    const auto second = run();
    EXPECT_EQ(second.exitStatus, 0) << second.err;
    EXPECT_EQ(second.out, "agent 3\nagent ran\n");
    ASSERT_TRUE(server->waitForAccessEntries(4));
    EXPECT_EQ(server->accessEntries().back().status, 304);
}

TEST_F(SignedDownload, EveryFaultFailsClosedWithNothingCached) {
    const auto comment = [](std::uint64_t size, const std::string& name = "InstallAgent.zip") {
        return test::releaseComment(name, 3, size);
    };
    const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> cases = {
        {"a flipped byte",
         [&](const std::string& a) {
             test::minisignSign(keys, a, comment(test::readFile(a).size()));
             std::string bytes = test::readFile(a);
             bytes[bytes.size() / 2] ^= 1;
             test::writeFile(a, bytes);
         }},
        {"another key",
         [&](const std::string& a) {
             test::minisignSign(otherKeys, a, comment(test::readFile(a).size()));
         }},
        {"a legacy signature",
         [&](const std::string& a) {
             test::minisignSign(keys, a, comment(test::readFile(a).size()), true);
         }},
        {"no signature", [&](const std::string&) { ::unlink((archive() + ".minisig").c_str()); }},
        {"a signature over 16 KiB",
         [&](const std::string& a) {
             test::minisignSign(keys, a, comment(test::readFile(a).size()));
             test::writeFile(a + ".minisig",
                             test::readFile(a + ".minisig") + std::string(17000, '\n'));
         }},
        {"a signature for another file",
         [&](const std::string& a) {
             test::minisignSign(keys, a, comment(test::readFile(a).size(), "Other.zip"));
         }},
        {"a body longer than signed",
         [&](const std::string& a) {
             test::minisignSign(keys, a, comment(test::readFile(a).size() - 10));
         }},
    };
    for (const auto& [what, sign] : cases) {
        SCOPED_TRACE(what);
        ::unlink((archive() + ".minisig").c_str());
        publish(3, sign);
        expectRefused(run());
        EXPECT_FALSE(test::pathExists(cache() + "installagent/install"));
        EXPECT_FALSE(test::pathExists(cache() + ".validatestring"));
    }
}

TEST_F(SignedDownload, AnOlderAgentAfterANewerOneIsRefused) {
    publish(5);
    ASSERT_EQ(run().exitStatus, 0);
    publish(4);
    expectRefused(run());
    EXPECT_EQ(test::readFile(cache() + ".version"), "5\n");
    EXPECT_NE(test::readFile(cache() + "installagent/install").find("agent 5"), std::string::npos);
}

} // namespace
} // namespace qz
