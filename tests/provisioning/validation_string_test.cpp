#include "provisioning/validation_string.h"

#include "support/files.h"

#include <gtest/gtest.h>

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

} // namespace
} // namespace qz
