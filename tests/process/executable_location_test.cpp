#include "process/executable_location.h"

#include "platform/system/main_bundle.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

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
    const auto bundle = platform::mainBundle();
    ASSERT_TRUE(bundle.has_value());
    EXPECT_EQ(getPathToExecutable(), bundle->bundlePath);
    EXPECT_EQ(getDirectoryOfExecutable(), directoryOfPath(bundle->bundlePath));
}

} // namespace
} // namespace qz
