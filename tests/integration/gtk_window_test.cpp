// What the window shows and when it goes.
#include "integration/gtk_window_fixture.h"

namespace qz::test {
namespace {

TEST_F(GtkWindow, ACompletedDownloadTakesTheWindowAwayAndStartsTheAgentOnce) {
    // The agent lists the installer's visible windows as it starts: there must be none.
    serveAgent("xdotool search --onlyvisible --name '^" + TITLE +
                   "$' > \"$QZ_TEST_RECORD.windows\"\n" + recordingAgentScript(),
               512 * 1024);
    server.setSlow(64 * 1024, std::chrono::milliseconds(100));
    // GTK's complaint about a module it cannot load goes to the system log, not the terminal.
    ChildProcess child(installer.executable, {"--dest", "two words"},
                       options({"GTK_MODULES=qz-no-such-module"}));
    EXPECT_NE(waitForWindow(), 0u) << child.errSoFar();
    const auto result = child.wait();

    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, "agent ran\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(
        recordedArguments(root / "record"),
        (std::vector<std::string>{cache() + "installagent/install", "-installbundle",
                                  installer.resources + "/bundle.zip", "--dest", "two words"}));
    ASSERT_TRUE(pathExists(root / "record.windows"));
    EXPECT_EQ(readFile(root / "record.windows"), "");
    EXPECT_TRUE(listDirectory(root / "tmp").empty());
    EXPECT_EQ(server.requestCount(), 1);
}

TEST_F(GtkWindow, AFailedDownloadStaysOnScreenUntilClosed) {
    // Under the title that make-installer put into the installer.
    writeFile(installer.resources + "/installerTitle.txt", "ACME Installer\n");
    server.setStatus(404);
    ChildProcess child(installer.executable, {}, options());
    ASSERT_TRUE(child.waitForErr("Download failed! Error - ", WINDOW_TIMEOUT)) << child.errSoFar();
    // The failure is on screen, and the program waits for the user.
    const unsigned long window = waitForWindow("ACME Installer");
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
    EXPECT_TRUE(listDirectory(root / "tmp").empty());
    EXPECT_FALSE(pathExists(cache() + "installagent/install"));
}

// Needs a hand-off that unpacks without blocking the main loop: the window animates only from it.
TEST_F(GtkWindow, TheBarKeepsMovingWhileTheAgentIsUnpacked) {
    // An unzip that holds the hand-over until the test lets it go.
    const auto unzip = findProgram("unzip");
    ASSERT_TRUE(unzip);
    writeFile(root / "bin/unzip",
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
    ChildProcess child(installer.executable, {},
                       options({"PATH=" + (root / "bin") + ":" + path,
                                "QZ_TEST_UNZIP_STARTED=" + (root / "started"),
                                "QZ_TEST_UNZIP_RELEASE=" + (root / "release")}));
    ASSERT_TRUE(eventually([&] { return pathExists(root / "started"); }, WINDOW_TIMEOUT))
        << child.errSoFar();
    const unsigned long window = waitForWindow();
    ASSERT_NE(window, 0u) << child.errSoFar();

    // Two changes in a row: the bar is animated, not just drawn once more.
    auto before = x->capture(window);
    ASSERT_FALSE(before.rgb.empty());
    for (int change = 0; change < 2; ++change) {
        XClient::Image after;
        EXPECT_TRUE(eventually(
            [&] {
                after = x->capture(window);
                return after != before;
            },
            3.0))
            << "the window did not change during the unpacking";
        before = after;
    }

    writeFile(root / "release", "");
    const auto result = child.wait();
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, "agent ran\n");
}

TEST_F(GtkWindow, TheSplashImageIsScaledProportionallyToFit) {
    serveSlowly();
    const auto splashSize = [&](std::uint32_t width, std::uint32_t height) {
        writeSolidPng(installer.resources + "/splash.png", width, height, 0xff0000);
        ChildProcess child(installer.executable, {}, options());
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
        const auto result = runProgram(installer.executable, {}, o);
        EXPECT_EQ(result.exitStatus, 0) << unusable << ": " << result.err;
        EXPECT_NE(result.err.find("Downloading"), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "agent ran\n");
    }
}

} // namespace
} // namespace qz::test
