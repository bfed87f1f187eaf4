#include "platform/main_bundle.h"

#include <gtest/gtest.h>

namespace qz::platform {
namespace {

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

} // namespace
} // namespace qz::platform
