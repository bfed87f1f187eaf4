#include "provisioning/validation_string.h"

#include "support/files.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qz {
namespace {

TEST(ValidationString, StoredValueComparesExactly) {
    test::ScratchDir dir;
    const std::string cache = dir.path() + "/";
    EXPECT_FALSE(isCacheValid(cache, "\"v1\""));
    writeValidationString(cache, "\"v1\"");
    EXPECT_EQ(test::readFile(dir / ".validatestring"), "\"v1\"");
    EXPECT_TRUE(isCacheValid(cache, "\"v1\""));
    EXPECT_FALSE(isCacheValid(cache, "\"v1"));
    EXPECT_FALSE(isCacheValid(cache, "\"v1\"x"));
    EXPECT_FALSE(isCacheValid(cache, "\"V1\""));
    EXPECT_FALSE(isCacheValid(cache, ""));
}

TEST(ValidationString, EmptyValuesAreNeverStoredNorMatched) {
    test::ScratchDir dir;
    writeValidationString(dir.path(), "keep");
    writeValidationString(dir.path(), "");
    EXPECT_EQ(test::readFile(dir / ".validatestring"), "keep");
    test::writeFile(dir / ".validatestring", "");
    EXPECT_FALSE(isCacheValid(dir.path(), ""));
}

TEST(ValidationString, OnlyTheFirstLineCounts) {
    test::ScratchDir dir;
    test::writeFile(dir / ".validatestring", "abc\n");
    EXPECT_TRUE(isCacheValid(dir.path(), "abc"));
    test::writeFile(dir / ".validatestring", "abc\r\n");
    EXPECT_FALSE(isCacheValid(dir.path(), "abc"));
    test::writeFile(dir / ".validatestring", "\nabc");
    EXPECT_FALSE(isCacheValid(dir.path(), "abc"));
    writeValidationString(dir.path(), "a\nb");
    EXPECT_EQ(test::readFile(dir / ".validatestring"), "a\nb");
    EXPECT_FALSE(isCacheValid(dir.path(), "a\nb"));
}

TEST(ValidationString, AMissingCacheDirectoryStoresNothing) {
    test::ScratchDir dir;
    writeValidationString(dir / "absent/", "v");
    EXPECT_FALSE(test::pathExists(dir / "absent"));
    EXPECT_FALSE(isCacheValid(dir / "absent/", "v"));
}

// The cache is trusted only while nobody else can write it: the file is the owner's alone whatever
// the umask, a link put in its place is not followed, and a string cut short is not left behind.
TEST(ValidationString, OwnerOnlyNeverThroughALinkNeverLeftCutShort) {
    test::ScratchDir dir;
    const std::string file = dir / ".validatestring";
    const mode_t mask = ::umask(0);
    writeValidationString(dir.path(), "v1");
    ::umask(mask);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ::unlink(file.c_str());
    ASSERT_EQ(::symlink("target", file.c_str()), 0);
    writeValidationString(dir.path(), "v2");
    EXPECT_FALSE(test::pathExists(dir / "target"));
    ::unlink(file.c_str());
    if (::fork() == 0) { // the file size limit stays in the child
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{2, 2};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        writeValidationString(dir.path(), "v3-long");
        ::_exit(0);
    }
    ::wait(nullptr);
    EXPECT_FALSE(test::pathExists(file));
}

} // namespace
} // namespace qz
