#include "bootstrap/temp_dir.h"

#include "support/env_guard.h"
#include "support/files.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qz {
namespace {

TEST(TempDir, IsAFreshPrivateDirectoryInTheTemporaryDirectory) {
    test::ScratchDir tmp;
    test::EnvGuard env("TMPDIR", tmp.path() + "/");
    std::string first;
    {
        TempDir a("tmp_install_dir");
        TempDir b("other name");
        first = a.getDir();
        ASSERT_EQ(first.rfind(tmp.path() + "/qz", 0), 0u) << first;
        EXPECT_EQ(first.size(), tmp.path().size() + 1 + 8);
        EXPECT_NE(first, b.getDir());
        struct stat st {};
        ASSERT_EQ(::stat(first.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        test::makeDirectories(first + "/installagent/sub");
        test::writeFile(first + "/InstallAgent.zip", "zip");
        test::writeFile(tmp / "neighbour", "stays");
    }
    EXPECT_FALSE(test::pathExists(first));
    EXPECT_TRUE(test::pathExists(tmp / "neighbour"));
    EXPECT_EQ(test::listDirectory(tmp.path()), std::vector<std::string>{"neighbour"});
}

TEST(TempDir, FallsBackToSlashTmpWithoutTMPDIR) {
    for (const std::optional<std::string>& value : {std::optional<std::string>(), {""}}) {
        test::EnvGuard env("TMPDIR", value);
        TempDir dir("x");
        EXPECT_EQ(dir.getDir().rfind("/tmp/qz", 0), 0u) << dir.getDir();
    }
}

TEST(TempDir, IsEmptyWhenNoDirectoryCanBeMade) {
    // Neither TMPDIR nor /tmp takes one: /tmp is read-only in a mount namespace of a child's own.
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/tmp", "tmpfs", MS_RDONLY, nullptr) != 0) {
            ::_exit(2);
        }
        ::setenv("TMPDIR", "/nonexistent/qz-nowhere", 1);
        TempDir dir("x");
        ::_exit(dir.getDir().empty() ? 0 : 1);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) {
        GTEST_SKIP() << "cannot mount a read-only /tmp here";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
} // namespace qz
