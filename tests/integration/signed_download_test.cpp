#include "support/files.h"
#include "support/installer_folder.h"
#include "support/minisign_keys.h"
#include "support/nginx_server.h"
#include "support/subprocess.h"
#include "support/zip_builder.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <sys/time.h>

namespace qz {
namespace {

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
        // nginx's ETag is the time and length: each archive gets a time of its own.
        const timeval times[2] = {{++published, 0}, {published, 0}};
        ::utimes(archive().c_str(), times);
        if (sign) {
            sign(archive());
        } else {
            test::minisignSign(keys, archive(),
                               test::releaseComment("InstallAgent.zip", version,
                                                    test::readFile(archive()).size()));
        }
    }

    // The installer carries these keys (none: it checks nothing, as an older build did).
    void carryKeys(const std::vector<const test::MinisignKeys*>& carried) {
        std::string text;
        for (const auto* k : carried) {
            text += test::readFile(k->publicKey);
        }
        const std::string file = installer.resources + "/installAgentKey.pub";
        ::unlink(file.c_str());
        if (!carried.empty()) {
            test::writeFile(file, text);
        }
    }

    // How the last run got the archive (200 downloaded, 304 taken from the cache), once the
    // server has logged `requests` requests in all.
    int archiveStatus(std::size_t requests) const {
        EXPECT_TRUE(server->waitForAccessEntries(requests));
        const auto entries = server->accessEntries();
        for (auto e = entries.rbegin(); e != entries.rend(); ++e) {
            if (e->target == "/InstallAgent.zip") {
                return e->status;
            }
        }
        return 0;
    }

    test::RunResult run() {
        ::unlink((root / "record").c_str());
        return test::runProgram(installer.executable, {},
                                test::userRunOptions(root.path(), root / "record"));
    }

    std::string cache() const {
        return test::agentCacheIn(root / "home");
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
    time_t published = 1700000000;
    std::unique_ptr<test::NginxServer> server;
    test::InstallerFolder installer;
};

TEST_F(SignedDownload, ASignedAgentIsCheckedCachedWithItsVersionAndStarted) {
    publish(3);
    const auto first = run();
    EXPECT_EQ(first.exitStatus, 0) << first.err;
    EXPECT_EQ(first.out, "agent 3\nagent ran\n");
    EXPECT_EQ(test::listDirectory(cache()),
              (std::vector<std::string>{".lock", ".newest-versions", ".validatestring", ".vouched",
                                        "installagent"}));
    EXPECT_TRUE(test::readFile(cache() + ".newest-versions").ends_with(" 3\n"));
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

// Each fact once on the terminal: the reason in the failure, not again in a log line.
TEST_F(SignedDownload, ASignatureThatCannotBeDownloadedIsADownloadFailure) {
    publish(3);
    ::unlink((archive() + ".minisig").c_str());
    for (const auto& [url, reason] : std::vector<std::pair<std::string, std::string>>{
             {server->httpUrl(), "The server answered with HTTP status 404."},
             {"http://127.0.0.1:1/InstallAgent.zip", "Couldn't connect to server"}}) {
        test::writeFile(installer.resources + "/installAgentURL.txt", url + "\n");
        const std::string err = run().err;
        const auto said = err.find("The signature of the install agent archive InstallAgent.zip "
                                   "could not be downloaded: ");
        EXPECT_NE(said, std::string::npos) << err;
        EXPECT_EQ(err.find(reason), err.rfind(reason)) << err;
        EXPECT_GT(err.find(reason), said) << err;
        EXPECT_EQ(err.find("Download failed! Error - "), std::string::npos) << err;
        EXPECT_EQ(err.find("not trusted"), std::string::npos) << err;
    }
}

TEST_F(SignedDownload, ACachedAgentCountsOnlyForItsKeyAndTheArchiveSignedNow) {
    struct Case {
        std::string what;
        std::vector<const test::MinisignKeys*> carried; // by the second run
        std::function<void()> change;                   // between the runs
        bool downloadsAgain;
        bool refused = false;
    };
    const std::vector<Case> cases = {
        {"the same key and archive", {&keys}, [] {}, false},
        {"its key retired, the archive signed by the next",
         {&otherKeys},
         [&] {
             publish(3, [&](const std::string& a) {
                 test::minisignSign(
                     otherKeys, a,
                     test::releaseComment("InstallAgent.zip", 3, test::readFile(a).size()));
             });
         },
         true},
        {"a signature published for another archive",
         {&keys},
         [&] {
             // The archive stays (so the server answers 304); its signature is another's.
             const std::string other = root / "Other.zip";
             test::writeZip(other, {{"install", "echo other\n"}});
             test::minisignSign(
                 keys, other,
                 test::releaseComment("InstallAgent.zip", 3, test::readFile(other).size()));
             test::writeFile(archive() + ".minisig", test::readFile(other + ".minisig"));
         },
         true,
         true},
        {"the agent replaced by an older installer that left the records",
         {&keys},
         [&] {
             const std::string agent = cache() + "installagent";
             test::removeTree(agent);
             test::makeDirectories(agent, 0700);
             test::writeFile(agent + "/install", "echo planted\n", 0700);
         },
         true},
        {"a record an older build wrote",
         {&keys},
         [&] {
             ::unlink((cache() + ".vouched").c_str());
             test::writeFile(cache() + ".version", "9\n", 0600);
         },
         true},
    };
    std::size_t requests = 0; // a signature and an archive per run
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        requests += 4;
        test::removeTree(root / "home/.velmor");
        carryKeys({&keys});
        publish(3);
        ASSERT_EQ(run().exitStatus, 0);
        c.change();
        carryKeys(c.carried);
        const auto again = run();
        if (c.refused) {
            expectRefused(again);
            continue;
        }
        EXPECT_EQ(again.exitStatus, 0) << again.err;
        EXPECT_EQ(again.out, "agent 3\nagent ran\n");
        EXPECT_EQ(archiveStatus(requests), c.downloadsAgain ? 200 : 304);
        EXPECT_FALSE(test::pathExists(cache() + ".version"));
    }
}

TEST_F(SignedDownload, EachKeyKeepsItsNewestVersionThroughEveryReplacement) {
    const auto signWith = [&](const test::MinisignKeys& k, std::uint64_t version) {
        return [&k, version](const std::string& a) {
            test::minisignSign(
                k, a, test::releaseComment("InstallAgent.zip", version, test::readFile(a).size()));
        };
    };
    publish(5);
    ASSERT_EQ(run().exitStatus, 0);
    publish(4);
    expectRefused(run());
    EXPECT_NE(test::readFile(cache() + "installagent/install").find("agent 5"), std::string::npos);
    // Another product, another key: its version 1 is not older than anything of its own.
    carryKeys({&otherKeys});
    publish(1, signWith(otherKeys, 1));
    EXPECT_EQ(run().out, "agent 1\nagent ran\n");
    // Neither that replacement nor an unchecked one lowers the first key's floor.
    carryKeys({});
    publish(2, [](const std::string&) {});
    EXPECT_EQ(run().out, "agent 2\nagent ran\n");
    carryKeys({&keys});
    publish(4);
    const auto older = run();
    expectRefused(older);
    EXPECT_NE(older.err.find("it is version 4, older than version 5 installed before"),
              std::string::npos)
        << older.err;
}

TEST_F(SignedDownload, ACacheNotUsedLendsNoVersionFloor) {
    publish(5);
    ASSERT_EQ(run().exitStatus, 0);
    // Others could have written it, its floors too: nothing is read from it.
    ::chmod((root / "home/.velmor").c_str(), 0777);
    publish(4);
    const auto result = run();
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, "agent 4\nagent ran\n");
}

TEST_F(SignedDownload, AVersionRecordThatCannotBeReadRefusesEverySignedAgentAndStays) {
    publish(5);
    ASSERT_EQ(run().exitStatus, 0);
    // Read as empty, it would let version 4 in and be rewritten without version 5.
    const std::string record = cache() + ".newest-versions";
    const std::string floors = test::readFile(record);
    ::chmod(record.c_str(), 0);
    for (const std::uint64_t version : {4, 6}) {
        publish(version);
        ::unlink((root / "record").c_str());
        // As a user without root's power to read whatever it likes.
        const auto result = test::runProgram(
            "setpriv",
            {"--bounding-set", "-dac_override,-dac_read_search", "--", installer.executable},
            test::userRunOptions(root.path(), root / "record"));
        expectRefused(result);
        EXPECT_NE(result.err.find("the record of the newest versions installed, " + record +
                                  ", cannot be read"),
                  std::string::npos)
            << result.err;
    }
    EXPECT_EQ(test::fileMode(record), 0u);
    EXPECT_EQ(test::readFile(record), floors);
}

} // namespace
} // namespace qz
