#include "integration/download_installer.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <tuple>

namespace qz {
namespace {

// A small tmpfs for running out of space; tests skip where mounting is not allowed.
class SmallFilesystem {
  public:
    SmallFilesystem(const std::string& path, const std::string& size) : path_(path) {
        test::makeDirectories(path);
        mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
    }
    ~SmallFilesystem() {
        if (mounted_) {
            ::umount2(path_.c_str(), MNT_DETACH);
        }
    }
    bool mounted() const {
        return mounted_;
    }

  private:
    std::string path_;
    bool mounted_ = false;
};

class Faults : public test::DownloadInstaller {
  protected:
    // The agent ran from the cache, whole: its payload is there in full.
    void expectCompleteCachedAgent(const test::RunResult& result,
                                   const std::string& record = "record") {
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        const auto args = test::recordedArguments(root / record);
        ASSERT_EQ(args.size(), 3u) << result.err;
        EXPECT_EQ(args[0], cache() + "installagent/install");
        EXPECT_EQ(test::readFile(cache() + "installagent/lib/payload").size(), 64u * 1024);
        EXPECT_EQ(test::readFile(cache() + ".validatestring"), "\"v1\"");
        for (const auto& name : test::listDirectory(cache())) {
            EXPECT_TRUE(name == "installagent" || name == ".validatestring" || name == ".lock")
                << name;
        }
    }

    void expectCleanFailure(const test::RunResult& result, const std::string& lastButOne) {
        EXPECT_EQ(result.exitStatus, 255);
        const auto lines = result.errLines();
        ASSERT_GE(lines.size(), 2u) << result.err;
        EXPECT_EQ(lines[lines.size() - 2], lastButOne) << result.err;
        EXPECT_EQ(lines.back(), "Installation failed.");
        EXPECT_TRUE(test::recordedArguments(root / "record").empty());
    }
};

TEST_F(Faults, ARunKilledDuringTheTransferLeavesNothingInTheWay) {
    server.setSlow(8 * 1024, std::chrono::milliseconds(20));
    {
        test::ChildProcess child(installer.executable, {}, options());
        ASSERT_TRUE(child.waitForErr("Downloading", 5.0)) << child.errSoFar();
        child.signalGroup(SIGKILL);
        EXPECT_EQ(child.wait().termSignal, SIGKILL);
    }
    EXPECT_FALSE(test::pathExists(cache() + "installagent/install"));
    server.setSlow(0, std::chrono::milliseconds(0));
    expectCompleteCachedAgent(run());
}

TEST_F(Faults, ARunKilledDuringTheUnpackingNeverLeavesAPartialAgentInUse) {
    // An unzip that unpacks, says so, and then hangs until it is killed with the bootstrapper.
    test::makeDirectories(root / "bin");
    test::writeFile(root / "bin/unzip",
                    "#!/bin/sh\n/usr/bin/unzip \"$@\"\necho 'unzip finished' >&2\nexec sleep 30\n",
                    0755);
    const std::string path = "PATH=" + (root / "bin") + ":" + std::getenv("PATH");
    {
        test::ChildProcess child(installer.executable, {}, options({path}));
        ASSERT_TRUE(child.waitForErr("unzip finished", 5.0)) << child.errSoFar();
        child.signalGroup(SIGKILL);
        child.wait();
    }
    // The complete unpacking was never moved into place nor recorded.
    EXPECT_FALSE(test::pathExists(cache() + "installagent/install"));
    EXPECT_FALSE(test::pathExists(cache() + ".validatestring"));
    bool leftover = false;
    for (const auto& name : test::listDirectory(cache())) {
        leftover = leftover || name.starts_with("installagent.unpack-");
    }
    EXPECT_TRUE(leftover);

    expectCompleteCachedAgent(run());
}

TEST_F(Faults, TwoRunsAtOnceWithAColdCacheBothStartACompleteAgent) {
    // The first run downloads, holding the cache alone, until the second waits for it.
    server.setPaced(8 * 1024);
    server.setHonourIfNoneMatch(true);
    test::ChildProcess first(installer.executable, {}, options({}, "record1"));
    ASSERT_TRUE(first.waitForErr("Downloading", 5.0)) << first.errSoFar();
    test::ChildProcess second(installer.executable, {}, options({}, "record2"));
    ASSERT_TRUE(second.waitForErr("Waiting for another installer to finish", 5.0))
        << second.errSoFar();
    server.releasePiece(1000);
    const auto a = first.wait();
    const auto b = second.wait();
    expectCompleteCachedAgent(a, "record1");
    expectCompleteCachedAgent(b, "record2");
    // One of them downloaded; the other waited, then found the cache current.
    EXPECT_EQ(server.requestCount(), 2);
}

TEST_F(Faults, HostileArchivesWriteNothingOutsideTheirDestination) {
    const std::string outside = root / "outside";
    const std::vector<std::vector<test::ZipEntry>> archives = {
        {{"install", test::recordingAgentScript()},
         {"../../../escaped-up", "x"},
         {"../escaped-up", "x"},
         {root / "escaped-absolute", "x"}},
        {{"install", test::recordingAgentScript()},
         {"link", outside, test::ZipEntry::Kind::Symlink},
         {"link/through-link", "x"},
         {"dirlink", "../../outside", test::ZipEntry::Kind::Symlink},
         {"dirlink/through-dirlink", "x"}},
    };
    for (const auto& entries : archives) {
        // From the bundle and from the download.
        test::writeZip(installer.resources + "/InstallAgent.zip", entries);
        run();
        ::unlink((installer.resources + "/InstallAgent.zip").c_str());
        server.setBody(test::makeZip(entries));
        run();
        EXPECT_TRUE(test::listDirectory(outside).empty());
        EXPECT_FALSE(test::pathExists(root / "escaped-absolute"));
        EXPECT_FALSE(test::pathExists(root / "escaped-up"));
        EXPECT_FALSE(test::pathExists(root / "home/escaped-up"));
        EXPECT_FALSE(test::pathExists(test::agentCacheIn(root.path()) + "../escaped-up"));
        EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
    }
}

TEST_F(Faults, AnInstallThatIsNoFileOfItsOwnIsAFailedUnpackOnBothPaths) {
    const std::vector<std::vector<test::ZipEntry>> archives = {
        {{"install/", "", test::ZipEntry::Kind::Directory, 0755},
         {"install/install", test::recordingAgentScript()}},
    };
    for (const auto& entries : archives) {
        test::writeZip(installer.resources + "/InstallAgent.zip", entries);
        expectCleanFailure(run(), "Failed to initialize the install agent.");
        ::unlink((installer.resources + "/InstallAgent.zip").c_str());
        server.setBody(test::makeZip(entries));
        expectCleanFailure(run(), "Failed to unzip the installer.");
        EXPECT_FALSE(test::pathExists(cache() + "installagent/install"));
        EXPECT_FALSE(test::pathExists(cache() + ".validatestring"));
        EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
    }
}

TEST_F(Faults, AnUnusableHomeIsSaidAndTheRunGoesOnWithoutTheCache) {
    // Not writable even for root: no cache, and so no lock, can be made there.
    for (const std::string& home : {std::string("/proc"), installer.executable}) {
        const auto result = run({"HOME=" + home});
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_TRUE(result.errLines().front().starts_with(
            "The install agent cache is not used: its lock " + home + "/.velmor/"))
            << result.err;
        const auto args = test::recordedArguments(root / "record");
        ASSERT_FALSE(args.empty());
        EXPECT_TRUE(args[0].starts_with(root / "tmp/qz")) << args[0];
        EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
    }
}

TEST_F(Faults, ARelativeHomeIsTakenFromTheWorkingDirectory) {
    const auto result = run({"HOME=relhome"});
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_TRUE(
        test::pathExists(test::agentCacheIn(root / "cwd/relhome") + "installagent/install"));
    EXPECT_EQ(run({"HOME=relhome"}).exitStatus, 0);
    EXPECT_EQ(server.requestCount(), 2);
}

TEST_F(Faults, StrangeUrlFilesFailCleanlyAndQuickly) {
    const std::string urlFile = installer.resources + "/installAgentURL.txt";
    std::string binary;
    for (int i = 1; i < 256; ++i) {
        binary += static_cast<char>(i == '\n' ? ' ' : i);
    }
    for (const std::string& content : {binary, std::string(10 * 1024 * 1024, 'a')}) {
        test::writeFile(urlFile, content);
        expectCleanFailure(run(), "See your system log for more information.");
    }
    ::unlink(urlFile.c_str());
    test::makeDirectories(urlFile);
    expectCleanFailure(run(), "See your system log for more information.");
    EXPECT_EQ(server.requestCount(), 0);
}

TEST_F(Faults, ResourcesThatAreNotFilesNeverBlockTheRun) {
    // A FIFO where a file is expected: opened to be read, it would wait for a writer for ever.
    const std::string keyFile = installer.resources + "/installAgentKey.pub";
    const std::vector<std::tuple<std::string, std::string, int>> cases = {
        {"installAgentURL.txt", "Failed to open install agent URL file", 255},
        {"installAgentKey.pub",
         "The installer's key file " + keyFile + " is unusable: it is not a regular file.", 255},
        {"installerSettings.txt", "agent ran", 0},
        // Without its catalog the run speaks English.
        {"locale/de/LC_MESSAGES/velmor-bootstrapper.mo", "Initializing the installer", 0},
    };
    for (const auto& [resource, expected, status] : cases) {
        SCOPED_TRACE(resource);
        const std::string path = installer.resources + "/" + resource;
        const std::string before = test::pathExists(path) ? test::readFile(path) : "";
        ::unlink(path.c_str());
        test::makeDirectories(path.substr(0, path.rfind('/')));
        ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
        const auto result = run({"LANGUAGE=de", "LC_ALL=C.UTF-8"});
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitStatus, status) << result.err;
        EXPECT_NE((result.err + result.out).find(expected), std::string::npos) << result.err;
        ::unlink(path.c_str());
        if (!before.empty()) {
            test::writeFile(path, before);
        }
        test::removeTree(cache());
    }
}

TEST_F(Faults, RunningOutOfSpaceWhileDownloadingKeepsNoPartialArchive) {
    SmallFilesystem tmp(root / "smalltmp", "256k");
    if (!tmp.mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    server.setBody(test::makeAgentZip(test::recordingAgentScript(),
                                      {{"lib/payload", std::string(1024 * 1024, 'p')}}));
    expectCleanFailure(run({"TMPDIR=" + (root / "smalltmp")}),
                       "See your system log for more information.");
    EXPECT_TRUE(test::listDirectory(root / "smalltmp").empty());
    EXPECT_FALSE(test::pathExists(cache() + ".validatestring"));
}

TEST_F(Faults, RunningOutOfSpaceWhileUnpackingKeepsNoPartialAgent) {
    SmallFilesystem home(root / "home", "256k");
    if (!home.mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    server.setBody(test::makeAgentZip(test::recordingAgentScript(),
                                      {{"lib/payload", std::string(1024 * 1024, 'p')}}));
    expectCleanFailure(run(), "Failed to unzip the installer.");
    EXPECT_FALSE(test::pathExists(cache() + "installagent/install"));
    EXPECT_FALSE(test::pathExists(cache() + ".validatestring"));
    for (const auto& name : test::listDirectory(cache())) {
        EXPECT_FALSE(name.starts_with("installagent.")) << name;
    }
    EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
}

} // namespace
} // namespace qz
