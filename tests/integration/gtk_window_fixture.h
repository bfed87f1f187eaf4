#pragma once

// The download path with the GTK window: the built program on an X server of its own, driven
// through the X server as a user would.
#include "integration/download_installer.h"
#include "support/virtual_display.h"

#ifdef QZ_TEST_HAVE_GTK
#include <gdk-pixbuf/gdk-pixbuf.h>
#endif

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

namespace qz::test {

inline const std::string TITLE = "Velmor Installer";
constexpr double WINDOW_TIMEOUT = 8.0;

// A PNG of one colour (0xRRGGBB).
inline void writeSolidPng([[maybe_unused]] const std::string& path,
                          [[maybe_unused]] std::uint32_t width,
                          [[maybe_unused]] std::uint32_t height,
                          [[maybe_unused]] std::uint32_t rgb) {
#ifdef QZ_TEST_HAVE_GTK
    g_autoptr(GdkPixbuf) image =
        gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, int(width), int(height));
    gdk_pixbuf_fill(image, rgb << 8 | 0xff);
    ASSERT_TRUE(gdk_pixbuf_save(image, path.c_str(), "png", nullptr, nullptr)) << path;
#endif
}

// The download path with the GTK window, each test on an X server of its own.
class GtkWindow : public DownloadInstaller {
  protected:
    void SetUp() override {
#ifndef QZ_TEST_HAVE_GTK
        GTEST_SKIP() << "built without the GTK window";
#endif
        if (!findProgram("Xvfb") || !findProgram("xdotool")) {
            GTEST_SKIP() << "needs Xvfb and xdotool";
        }
        display = std::make_unique<VirtualDisplay>();
        ASSERT_FALSE(display->name().empty()) << display->error();
        x = std::make_unique<XClient>(display->name());
        DownloadInstaller::SetUp();
        makeDirectories(root / "bin");
        serveAgent(recordingAgentScript());
        server.setETag(std::nullopt);
    }

    void serveAgent(const std::string& script, std::size_t padding = 0) {
        std::vector<ZipEntry> extra;
        if (padding > 0) {
            extra.push_back({"padding.bin", std::string(padding, 'p')});
        }
        server.setBody(makeAgentZip(script, extra));
    }

    // A download that takes several seconds, for a window to be closed while it runs.
    void serveSlowly() {
        serveAgent(recordingAgentScript(), 2 * 1024 * 1024);
        server.setSlow(16 * 1024, std::chrono::milliseconds(50));
    }

    RunOptions options(std::vector<std::string> extraEnv = {}) const {
        extraEnv.insert(extraEnv.begin(), {"DISPLAY=" + display->name(), "NO_AT_BRIDGE=1"});
        auto o = DownloadInstaller::options(extraEnv);
        o.timeoutSeconds = 15;
        return o;
    }

    RunResult xdotool(const std::vector<std::string>& args) const {
        RunOptions o;
        o.setEnv = {"DISPLAY=" + display->name()};
        o.timeoutSeconds = 5;
        return runProgram("xdotool", args, o);
    }

    // The installer's visible window, or 0.
    unsigned long visibleWindow(const std::string& title = TITLE) const {
        const auto found = xdotool({"search", "--onlyvisible", "--name", "^" + title + "$"});
        return found.exitStatus == 0 ? std::strtoul(found.out.c_str(), nullptr, 10) : 0;
    }

    unsigned long waitForWindow(const std::string& title = TITLE) const {
        unsigned long window = 0;
        eventually([&] { return (window = visibleWindow(title)) != 0; }, WINDOW_TIMEOUT);
        return window;
    }

    void expectCancelled(const RunResult& result) {
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitStatus, 255) << result.err;
        ASSERT_FALSE(result.errLines().empty());
        EXPECT_EQ(result.errLines().back(), "Installation failed.");
        EXPECT_EQ(result.err.find("Download failed"), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
        EXPECT_FALSE(pathExists(cache() + "installagent/install"));
        EXPECT_TRUE(listDirectory(root / "tmp").empty());
        EXPECT_TRUE(listDirectory(root / "cwd").empty());
        EXPECT_FALSE(pathExists(root / "record"));
    }

    std::unique_ptr<VirtualDisplay> display;
    std::unique_ptr<XClient> x;
};

} // namespace qz::test
