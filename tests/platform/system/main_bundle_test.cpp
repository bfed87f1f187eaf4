#include "platform/system/main_bundle.h"

#include "base/settings.h"
#include "support/files.h"

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

// The installer's title, when the window can show it whole; otherwise none (the window's own).
TEST(MainBundle, TheInstallersTitle) {
    test::ScratchDir dir;
    for (const auto& [text, title] : {std::pair<std::string, std::string>{"ACME\nx", "ACME"},
                                      {std::string(201, 'x'), ""},
                                      {"A\tB\n", ""}}) {
        test::writeFile(dir / "installerTitle.txt", text);
        EXPECT_EQ(installerTitle(dir.path()), title) << text;
    }
}

} // namespace
} // namespace qz::platform
