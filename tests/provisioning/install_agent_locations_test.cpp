#include "provisioning/install_agent_locations.h"

#include "bootstrap/installer_constants.h"
#include "support/env_guard.h"
#include "support/files.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <sys/stat.h>
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

} // namespace
} // namespace qz
