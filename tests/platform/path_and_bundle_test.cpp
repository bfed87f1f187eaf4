#include "platform/main_bundle.h"
#include "platform/path.h"
#include "platform/remove_item.h"

#include "support/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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

TEST(MainBundle, AnAppBundleHasContentsResources) {
    const auto b = bundleForExecutable("/Volumes/My Installer/Setup.app/Contents/MacOS/setup");
    EXPECT_EQ(b.bundlePath, "/Volumes/My Installer/Setup.app");
    EXPECT_EQ(b.resourcePath, "/Volumes/My Installer/Setup.app/Contents/Resources");
}

TEST(MainBundle, AnyOtherExecutableIsAFlatFolder) {
    const auto b = bundleForExecutable("/home/u/Downloads/installer/setup");
    EXPECT_EQ(b.bundlePath, "/home/u/Downloads/installer");
    EXPECT_EQ(b.resourcePath, "/home/u/Downloads/installer");
    const auto half = bundleForExecutable("/x/MacOS/setup");
    EXPECT_EQ(half.resourcePath, "/x/MacOS");
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
