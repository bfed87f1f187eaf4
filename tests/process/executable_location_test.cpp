#include "process/executable_location.h"

#include "base/settings.h"
#include "platform/system/main_bundle.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

using platform::mainBundle;

TEST(DirectoryOfPath, DropsOnlyTheLastComponent) {
    EXPECT_EQ(directoryOfPath("/a/b.app"), "/a");
    EXPECT_EQ(directoryOfPath("/b.app"), "");
    EXPECT_EQ(directoryOfPath("/a/b/"), "/a/b");
    EXPECT_EQ(directoryOfPath("/a/b//"), "/a/b/");
    EXPECT_EQ(directoryOfPath("/a/b\\c"), "/a/b");
    EXPECT_EQ(directoryOfPath("a\\b/c\\d"), "a\\b/c");
    EXPECT_EQ(directoryOfPath("plain"), "plain");
}

TEST(GetPathToExecutable, IsTheRunningProgramsBundle) {
    // The test binary lives in a plain folder, which is its own bundle.
    Settings settings;
    settings.executablePath = runningExecutablePath();
    const auto bundle = mainBundle(settings);
    ASSERT_TRUE(bundle.has_value());
    EXPECT_EQ(getPathToExecutable(settings), bundle->bundlePath);
    EXPECT_EQ(getDirectoryOfExecutable(settings), directoryOfPath(bundle->bundlePath));
    // Without an executable path there is neither.
    EXPECT_EQ(getDirectoryOfExecutable(Settings{}), "");
}

} // namespace
} // namespace qz
