#include "provisioning/install_agent_locations.h"

#include "bootstrap/installer_constants.h"
#include "support/env_guard.h"
#include "support/files.h"
#include "support/message_capture.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace qz {
namespace {

TEST(InstallAgentCacheDir, FollowsHome) {
    const std::string& suffix = INSTALL_AGENT_CACHE_SUBDIR;
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {"/Users/user", "/Users/user/" + suffix},
        {"/Users/user/", "/Users/user/" + suffix},
        {"/", "/" + suffix},
        {std::nullopt, "/tmp/" + suffix},
        {"", "/tmp/" + suffix},
        {"h", "h" + suffix},
        {"rel/home", "rel/home/" + suffix},
    };
    for (const auto& [home, expected] : cases) {
        test::EnvGuard env("HOME", home);
        EXPECT_EQ(getInstallAgentCacheDir(), expected) << home.value_or("(unset)");
    }
}

TEST(InstallAgentExecutable, JoinsWithOneSeparator) {
    EXPECT_EQ(getInstallAgentExecutable("a/b"), "a/b/install");
    EXPECT_EQ(getInstallAgentExecutable("a/b/"), "a/b/install");
    EXPECT_EQ(getInstallAgentExecutable(""), "install");
}

TEST(InstallAgentDirOnDisk, OnlyWhenTheExecutableExists) {
    test::ScratchDir home;
    test::EnvGuard env("HOME", home.path());
    const std::string agentDir = getInstallAgentCacheDir() + "installagent";
    EXPECT_EQ(installAgentDirOnDisk(), "");
    test::makeDirectories(agentDir);
    EXPECT_EQ(installAgentDirOnDisk(), "");
    // Only a file is an install agent's executable.
    test::makeDirectories(agentDir + "/install");
    EXPECT_EQ(installAgentDirOnDisk(), "");
    test::removeTree(agentDir + "/install");
    test::writeFile(agentDir + "/install", "agent");
    EXPECT_EQ(installAgentDirOnDisk(), agentDir + "/");
}

TEST(Mkpath, CreatesEveryMissingLevelWithTheMode) {
    test::ScratchDir dir;
    const ::mode_t oldMask = ::umask(022);
    test::makeDirectories(dir / "x");
    EXPECT_EQ(mkpath(dir / "x/y/z", 0700), 0);
    EXPECT_EQ(mkpath(dir / "x/y/z/", 0700), 0);
    ::umask(oldMask);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "x/y/z").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat((dir / "x/y").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat((dir / "x").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST(Mkpath, DoubledSeparatorsAndRelativePaths) {
    test::ScratchDir dir;
    const std::string relative = "qz-mkpath-rel-" + std::to_string(::getpid());
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    EXPECT_EQ(mkpath(relative + "//b", 0755), 0);
    EXPECT_TRUE(test::pathExists(dir / (relative + "/b")));
    EXPECT_EQ(mkpath("", 0755), 0);
    ASSERT_EQ(::chdir(previous), 0);
}

TEST(Mkpath, StopsAtAFileInTheWay) {
    test::ScratchDir dir;
    test::writeFile(dir / "file", "");
    errno = 0;
    EXPECT_EQ(mkpath(dir / "file/a/b", 0700), -1);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_FALSE(test::pathExists(dir / "file/a"));
}

TEST(EndpointUrlFile, TheFirstLineAsItStands) {
    test::ScratchDir dir;
    const std::pair<std::string, std::string> cases[] = {
        {"http://h/a.zip\nsecond\n", "http://h/a.zip"},
        {"http://h/a.zip", "http://h/a.zip"},
        {"http://h/a.zip\r\n", "http://h/a.zip\r"},
        {"  http://h/a.zip \t\n", "  http://h/a.zip \t"},
        {"\nhttp://h/a.zip", ""},
        {"", ""},
    };
    test::capturedMessages().clear();
    for (const auto& [content, expected] : cases) {
        test::writeFile(dir / "installAgentURL.txt", content);
        EXPECT_EQ(readEndpointUrlFile(dir / "installAgentURL.txt", test::captureMessage), expected);
    }
    EXPECT_EQ(readEndpointUrlFile(dir / "missing.txt", test::captureMessage), "");
    EXPECT_TRUE(test::capturedMessages().empty());
}

TEST(EndpointUrlFile, AFileThatCannotBeOpenedIsReportedOnce) {
    // A socket exists but cannot be opened, even by root.
    test::ScratchDir dir;
    const std::string path = dir / "installAgentURL.txt";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    test::capturedMessages().clear();
    EXPECT_EQ(readEndpointUrlFile(dir / "installAgentURL.txt", test::captureMessage), "");
    EXPECT_EQ(test::capturedTexts(),
              std::vector<std::string>{"Failed to open install agent URL file"});
    ::close(fd);
}

} // namespace
} // namespace qz
