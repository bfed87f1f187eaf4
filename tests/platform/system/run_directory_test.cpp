#include "platform/system/directories.h"

#include "support/files.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qz::platform {
namespace {

TEST(RunDirectory, OnlyMarkedUnlockedDirectoriesOfOursAreTakenForAbandoned) {
    test::ScratchDir parent;
    test::ScratchDir elsewhere;
    std::string live;
    {
        RunDirectory ended(parent / "qzXXXXXX");
        test::writeFile(ended.path() + "/f", "f");
    }
    RunDirectory running(parent / "qzXXXXXX");
    // In the making: not yet marked.
    test::makeDirectories(parent / "qzmaking");
    // A link to a directory that looks abandoned, and names that are not ours.
    test::makeDirectories(elsewhere / "target");
    ::chmod((elsewhere / "target").c_str(), 01700);
    ASSERT_EQ(::symlink((elsewhere / "target").c_str(), (parent / "qzlinked").c_str()), 0);
    for (const char* name : {"qzshort", "qzlonger1", "xxabcdef"}) {
        test::makeDirectories(parent / name);
        ::chmod((parent / name).c_str(), 01700);
    }
    // Another user's (only root can make one).
    const bool foreign = ::geteuid() == 0;
    if (foreign) {
        test::makeDirectories(parent / "qzforeig");
        ::chmod((parent / "qzforeig").c_str(), 01700);
        ASSERT_EQ(::chown((parent / "qzforeig").c_str(), 65534, 65534), 0);
    }

    removeAbandonedRunDirectories(parent.path(), "qz");
    const std::string runningName = running.path().substr(parent.path().size() + 1);
    std::vector<std::string> stay = {"qzlinked", "qzlonger1", "qzmaking",
                                     "qzshort",  "xxabcdef",  runningName};
    if (foreign) {
        stay.push_back("qzforeig");
    }
    std::sort(stay.begin(), stay.end());
    EXPECT_EQ(test::listDirectory(parent.path()), stay);
    EXPECT_TRUE(test::pathExists(elsewhere / "target"));
}

} // namespace
} // namespace qz::platform
