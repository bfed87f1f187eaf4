#include "base/path.h"

#include <gtest/gtest.h>

namespace qz::platform {
namespace {

TEST(AppendPathComponent, PutsExactlyOneSeparatorBetween) {
    EXPECT_EQ(appendPathComponent("/tmp", "qzXXXXXX"), "/tmp/qzXXXXXX");
    EXPECT_EQ(appendPathComponent("/tmp/", "qzXXXXXX"), "/tmp/qzXXXXXX");
    EXPECT_EQ(appendPathComponent("/tmp//", "/x"), "/tmp/x");
    EXPECT_EQ(appendPathComponent("/", "x"), "/x");
    EXPECT_EQ(appendPathComponent("", "x"), "x");
    EXPECT_EQ(appendPathComponent("rel", "x"), "rel/x");
}

} // namespace
} // namespace qz::platform
