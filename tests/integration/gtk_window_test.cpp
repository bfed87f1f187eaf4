#include "support/files.h"
#include "support/http_test_server.h"
#include "support/installer_folder.h"
#include "support/process_runner.h"
#include "support/virtual_display.h"
#include "support/zip_builder.h"

#ifdef QZ_TEST_HAVE_GTK
#include <gdk-pixbuf/gdk-pixbuf.h>
#endif

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

namespace qz {
namespace {

using Clock = std::chrono::steady_clock;

const std::string TITLE = "Velmor Installer";
const std::string CACHE = "/.velmor/app_installer_cache/V1904c/maci64/";
constexpr double WINDOW_TIMEOUT = 8.0;

// Polls `condition` every 20 ms until it holds or `seconds` have passed.
template <typename Condition> bool eventually(Condition condition, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A PNG of one colour (0xRRGGBB).
void writeSolidPng([[maybe_unused]] const std::string& path, [[maybe_unused]] std::uint32_t width,
                   [[maybe_unused]] std::uint32_t height, [[maybe_unused]] std::uint32_t rgb) {
#ifdef QZ_TEST_HAVE_GTK
    g_autoptr(GdkPixbuf) image =
        gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, int(width), int(height));
    gdk_pixbuf_fill(image, rgb << 8 | 0xff);
    ASSERT_TRUE(gdk_pixbuf_save(image, path.c_str(), "png", nullptr, nullptr)) << path;
#endif
}

// The download path with the GTK window, each test on an X server of its own.
class GtkWindow : public ::testing::Test {
  protected:
    void SetUp() override {
#ifndef QZ_TEST_HAVE_GTK
        GTEST_SKIP() << "built without the GTK window";
#endif
        if (!test::findProgram("Xvfb") || !test::findProgram("xdotool")) {
            GTEST_SKIP() << "needs Xvfb and xdotool";
        }
        display = std::make_unique<test::VirtualDisplay>();
        ASSERT_FALSE(display->name().empty()) << display->error();
        x = std::make_unique<test::XClient>(display->name());

        for (const char* d : {"home", "tmp", "cwd", "bin"}) {
            test::makeDirectories(root / d);
        }
        installer = test::makeFlatInstaller(root / "Installer");
        test::writeFile(installer.resources + "/installAgentURL.txt", server.url() + "\n");
        serveAgent(test::recordingAgentScript());
    }

    void serveAgent(const std::string& script, std::size_t padding = 0) {
        std::vector<test::ZipEntry> extra;
        if (padding > 0) {
            extra.push_back({"padding.bin", std::string(padding, 'p')});
        }
        server.setBody(test::makeAgentZip(script, extra));
    }

    // A download that takes several seconds, for a window to be closed while it runs.
    void serveSlowly() {
        serveAgent(test::recordingAgentScript(), 2 * 1024 * 1024);
        server.setSlow(16 * 1024, std::chrono::milliseconds(50));
    }

    test::RunOptions options(std::vector<std::string> extraEnv = {}) const {
        extraEnv.insert(extraEnv.begin(), {"DISPLAY=" + display->name(), "NO_AT_BRIDGE=1"});
        auto o = test::userRunOptions(root.path(), root / "record", extraEnv);
        o.timeoutSeconds = 15;
        return o;
    }

    test::RunResult xdotool(const std::vector<std::string>& args) const {
        test::RunOptions o;
        o.setEnv = {"DISPLAY=" + display->name()};
        o.timeoutSeconds = 5;
        return test::runProgram("xdotool", args, o);
    }

    // The installer's visible window, or 0.
    unsigned long visibleWindow() const {
        const auto found = xdotool({"search", "--onlyvisible", "--name", "^" + TITLE + "$"});
        return found.exitStatus == 0 ? std::strtoul(found.out.c_str(), nullptr, 10) : 0;
    }

    unsigned long waitForWindow() const {
        unsigned long window = 0;
        eventually([&] { return (window = visibleWindow()) != 0; }, WINDOW_TIMEOUT);
        return window;
    }

    std::string cache() const {
        return root / "home" + CACHE;
    }

    void expectCancelled(const test::RunResult& result) {
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitStatus, 255) << result.err;
        ASSERT_FALSE(result.errLines().empty());
        EXPECT_EQ(result.errLines().back(), "Installation failed.");
        EXPECT_EQ(result.err.find("Download failed"), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
        EXPECT_FALSE(test::pathExists(cache() + "installagent/install"));
        EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
        EXPECT_TRUE(test::listDirectory(root / "cwd").empty());
        EXPECT_FALSE(test::pathExists(root / "record"));
    }

    test::ScratchDir root;
    test::HttpTestServer server;
    test::InstallerFolder installer;
    std::unique_ptr<test::VirtualDisplay> display;
    std::unique_ptr<test::XClient> x;
};

TEST_F(GtkWindow, AppearsCentredWithItsTitleAndItsCloseBoxCancels) {
    serveSlowly();
    test::ChildProcess child(installer.executable, {}, options());
    const unsigned long window = waitForWindow();
    ASSERT_NE(window, 0u) << child.errSoFar();

    const auto name = xdotool({"getwindowname", std::to_string(window)});
    EXPECT_EQ(name.out, TITLE + "\n");
    const auto geometry = x->geometry(window);
    const auto screen = x->screenSize();
    ASSERT_TRUE(geometry && screen);
    EXPECT_NEAR(geometry->x, (screen->width - geometry->width) / 2, 1);
    EXPECT_NEAR(geometry->y, (screen->height - geometry->height) / 2, 1);

    x->requestClose(window);
    expectCancelled(child.wait());
}

TEST_F(GtkWindow, AWindowDestroyedByAnotherClientCancels) {
    serveSlowly();
    test::ChildProcess child(installer.executable, {}, options());
    const unsigned long window = waitForWindow();
    ASSERT_NE(window, 0u) << child.errSoFar();
    EXPECT_EQ(xdotool({"windowclose", std::to_string(window)}).exitStatus, 0);
    expectCancelled(child.wait());
}

TEST_F(GtkWindow, ReturnPressesCancel) {
    serveSlowly();
    test::ChildProcess child(installer.executable, {}, options());
    const unsigned long window = waitForWindow();
    ASSERT_NE(window, 0u) << child.errSoFar();
    // Without a window manager nothing gives the window the keyboard focus but us.
    EXPECT_EQ(xdotool({"windowfocus", "--sync", std::to_string(window)}).exitStatus, 0);
    EXPECT_EQ(xdotool({"key", "Return"}).exitStatus, 0);
    expectCancelled(child.wait());
}

TEST_F(GtkWindow, SigtermClosesTheWindow) {
    serveSlowly();
    test::ChildProcess child(installer.executable, {}, options());
    const unsigned long window = waitForWindow();
    ASSERT_NE(window, 0u) << child.errSoFar();
    child.signal(SIGTERM);
    expectCancelled(child.wait());
}

TEST_F(GtkWindow, ACompletedDownloadTakesTheWindowAwayAndStartsTheAgentOnce) {
    // The agent lists the installer's visible windows as it starts: there must be none.
    serveAgent("xdotool search --onlyvisible --name '^" + TITLE +
                   "$' > \"$QZ_TEST_RECORD.windows\"\n" + test::recordingAgentScript(),
               512 * 1024);
    server.setSlow(64 * 1024, std::chrono::milliseconds(100));
    test::ChildProcess child(installer.executable, {"--dest", "two words"}, options());
    EXPECT_NE(waitForWindow(), 0u) << child.errSoFar();
    const auto result = child.wait();

    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, "agent ran\n");
    EXPECT_EQ(
        test::recordedArguments(root / "record"),
        (std::vector<std::string>{cache() + "installagent/install", "-installbundle",
                                  installer.resources + "/bundle.zip", "--dest", "two words"}));
    ASSERT_TRUE(test::pathExists(root / "record.windows"));
    EXPECT_EQ(test::readFile(root / "record.windows"), "");
    EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
    EXPECT_EQ(server.requestCount(), 1);
}

TEST_F(GtkWindow, AFailedDownloadStaysOnScreenUntilClosed) {
    server.setStatus(404);
    test::ChildProcess child(installer.executable, {}, options());
    ASSERT_TRUE(child.waitForErr("Download failed! Error - ", WINDOW_TIMEOUT)) << child.errSoFar();
    // The failure is on screen, and the program waits for the user.
    const unsigned long window = waitForWindow();
    ASSERT_NE(window, 0u) << child.errSoFar();
    EXPECT_EQ(child.errSoFar().find("Installation failed."), std::string::npos);

    x->requestClose(window);
    const auto result = child.wait();
    EXPECT_EQ(result.exitStatus, 255) << result.err;
    // The window shows the failure; standard error has the log line and the sequence's own.
    const auto lines = result.errLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Installation failed.");
    EXPECT_EQ(result.err.find("Error during the download process."), std::string::npos)
        << result.err;
    EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
    EXPECT_FALSE(test::pathExists(cache() + "installagent/install"));
}

// Needs a hand-off that unpacks without blocking the main loop: the window animates only from it.
TEST_F(GtkWindow, TheBarKeepsMovingWhileTheAgentIsUnpacked) {
    // An unzip that holds the hand-over until the test lets it go.
    const auto unzip = test::findProgram("unzip");
    ASSERT_TRUE(unzip);
    test::writeFile(root / "bin/unzip",
                    "#!/bin/sh\n"
                    "touch \"$QZ_TEST_UNZIP_STARTED\"\n"
                    "i=0\n"
                    "while [ ! -e \"$QZ_TEST_UNZIP_RELEASE\" ] && [ $i -lt 200 ]; do\n"
                    "    sleep 0.05; i=$((i + 1))\n"
                    "done\n"
                    "exec '" +
                        *unzip + "' \"$@\"\n",
                    0755);
    const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
    test::ChildProcess child(installer.executable, {},
                             options({"PATH=" + (root / "bin") + ":" + path,
                                      "QZ_TEST_UNZIP_STARTED=" + (root / "started"),
                                      "QZ_TEST_UNZIP_RELEASE=" + (root / "release")}));
    ASSERT_TRUE(eventually([&] { return test::pathExists(root / "started"); }, WINDOW_TIMEOUT))
        << child.errSoFar();
    const unsigned long window = waitForWindow();
    ASSERT_NE(window, 0u) << child.errSoFar();

    // Two changes in a row: the bar is animated, not just drawn once more.
    auto before = x->capture(window);
    ASSERT_FALSE(before.rgb.empty());
    for (int change = 0; change < 2; ++change) {
        test::XClient::Image after;
        EXPECT_TRUE(eventually(
            [&] {
                after = x->capture(window);
                return after != before;
            },
            3.0))
            << "the window did not change during the unpacking";
        before = after;
    }

    test::writeFile(root / "release", "");
    const auto result = child.wait();
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, "agent ran\n");
}

TEST_F(GtkWindow, TheSplashImageIsScaledProportionallyToFit) {
    serveSlowly();
    const auto splashSize = [&](std::uint32_t width, std::uint32_t height) {
        writeSolidPng(installer.resources + "/splash.png", width, height, 0xff0000);
        test::ChildProcess child(installer.executable, {}, options());
        const unsigned long window = waitForWindow();
        // The bounding box of the red pixels, once the window has been drawn.
        std::pair<int, int> size{0, 0};
        eventually(
            [&] {
                const auto image = x->capture(window);
                int left = image.width, right = -1, top = image.height, bottom = -1;
                for (int row = 0; row < image.height; ++row) {
                    for (int column = 0; column < image.width; ++column) {
                        const auto index = static_cast<std::size_t>(row * image.width + column);
                        if (image.rgb[index] == 0xff0000) {
                            left = std::min(left, column);
                            right = std::max(right, column);
                            top = std::min(top, row);
                            bottom = std::max(bottom, row);
                        }
                    }
                }
                size = {right - left + 1, bottom - top + 1};
                return right >= 0;
            },
            window != 0 ? WINDOW_TIMEOUT : 0);
        child.signal(SIGTERM);
        child.wait();
        return size;
    };
    EXPECT_EQ(splashSize(1000, 600), std::make_pair(400, 240));
    EXPECT_EQ(splashSize(300, 500), std::make_pair(240, 400));
    EXPECT_EQ(splashSize(120, 60), std::make_pair(400, 200));
    EXPECT_EQ(splashSize(800, 200), std::make_pair(400, 100));
}

TEST_F(GtkWindow, WithoutADisplayTheTerminalWindowIsUsed) {
    for (const char* unusable : {"", ":4242"}) {
        auto o = options();
        std::erase_if(o.setEnv, [](const std::string& e) { return e.rfind("DISPLAY=", 0) == 0; });
        if (*unusable == '\0') {
            o.unsetEnv.push_back("DISPLAY");
        } else {
            o.setEnv.push_back(std::string("DISPLAY=") + unusable);
        }
        ::unlink((root / "record").c_str());
        const auto result = test::runProgram(installer.executable, {}, o);
        EXPECT_EQ(result.exitStatus, 0) << unusable << ": " << result.err;
        EXPECT_NE(result.err.find("Downloading"), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "agent ran\n");
    }
}

} // namespace
} // namespace qz
