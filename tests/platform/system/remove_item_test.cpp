#include "platform/system/directories.h"

#include "support/files.h"

#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qz::platform {
namespace {

// Runs `work` in a child process as an ordinary user would: without the capabilities that let
// root ignore permissions, and with at most `maxFiles` descriptors. Returns whether it said true.
bool inRestrictedChild(const std::function<bool()>& work, rlim_t maxFiles = 1024) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (::syscall(SYS_capget, &header, data) == 0) {
            for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
                data[0].effective &= ~(1u << cap);
            }
            ::syscall(SYS_capset, &header, data);
        }
        const rlimit limit{maxFiles, maxFiles};
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::_exit(work() ? 0 : 1);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(RemoveItem, RemovesDirectoriesOfOursWhateverTheirMode) {
    test::ScratchDir dir;
    test::makeDirectories(dir / "tree/a/locked/b");
    test::writeFile(dir / "tree/a/locked/b/f", "f");
    test::writeFile(dir / "tree/a/locked/g", "g");
    test::makeDirectories(dir / "tree/a/wonly");
    ::chmod((dir / "tree/a/wonly").c_str(), 0200);
    ::chmod((dir / "tree/a/locked").c_str(), 0);
    EXPECT_TRUE(inRestrictedChild([&] { return static_cast<bool>(removeItem(dir / "tree")); }));
    EXPECT_FALSE(test::pathExists(dir / "tree"));
}

TEST(RemoveItem, RemovesATreeDeeperThanTheDescriptorLimit) {
    test::ScratchDir dir;
    constexpr int kDepth = 2000;
    int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < kDepth && fd >= 0; ++i) {
        ASSERT_EQ(::mkdirat(fd, "d", 0700), 0);
        const int child = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = child;
    }
    ASSERT_GE(fd, 0);
    ::close(::openat(fd, "leaf", O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ::close(fd);
    EXPECT_TRUE(inRestrictedChild([&] { return static_cast<bool>(removeItem(dir / "d")); }, 64));
    EXPECT_FALSE(test::pathExists(dir / "d"));
}

TEST(RemoveItem, RemovesATreeButNothingALinkPointsTo) {
    test::ScratchDir dir;
    test::makeDirectories(dir / "outside");
    test::writeFile(dir / "outside/keep", "keep");
    test::makeDirectories(dir / "tree/sub/deeper");
    test::writeFile(dir / "tree/sub/deeper/f", "f");
    ASSERT_EQ(::symlink((dir / "outside").c_str(), (dir / "tree/sub/link").c_str()), 0);
    ::chmod((dir / "tree/sub/deeper").c_str(), 0500);
    ::chmod((dir / "tree/sub").c_str(), 0500);
    EXPECT_TRUE(removeItem(dir / "tree"));
    EXPECT_FALSE(test::pathExists(dir / "tree"));
    EXPECT_EQ(test::readFile(dir / "outside/keep"), "keep");
}

TEST(RemoveItem, RemovesAFileOrALinkAndToleratesAbsence) {
    test::ScratchDir dir;
    test::writeFile(dir / "f", "x");
    ASSERT_EQ(::symlink((dir / "f").c_str(), (dir / "l").c_str()), 0);
    EXPECT_TRUE(removeItem(dir / "l"));
    EXPECT_TRUE(test::pathExists(dir / "f"));
    EXPECT_TRUE(removeItem(dir / "f"));
    EXPECT_TRUE(removeItem(dir / "never-was"));
    EXPECT_FALSE(removeItem(""));
}

} // namespace
} // namespace qz::platform
