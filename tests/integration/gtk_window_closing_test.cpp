// Every way a user closes the window cancels the run.
#include "integration/gtk_window_fixture.h"

#include <cstdio>

namespace qz::test {
namespace {

TEST_F(GtkWindow, AppearsCentredWithItsTitleAndItsCloseBoxCancels) {
    serveSlowly();
    ChildProcess child(installer.executable, {}, options());
    const unsigned long window = waitForWindow();
    ASSERT_NE(window, 0u) << child.errSoFar();

    const auto name = xdotool({"getwindowname", std::to_string(window)});
    EXPECT_EQ(name.out, TITLE + "\n");
    int left = 0, top = 0, width = 0, height = 0, screenWidth = 0, screenHeight = 0;
    ASSERT_EQ(
        std::sscanf(xdotool({"getwindowgeometry", "--shell", std::to_string(window)}).out.c_str(),
                    "WINDOW=%*u X=%d Y=%d WIDTH=%d HEIGHT=%d", &left, &top, &width, &height),
        4);
    ASSERT_EQ(std::sscanf(xdotool({"getdisplaygeometry"}).out.c_str(), "%d %d", &screenWidth,
                          &screenHeight),
              2);
    EXPECT_NEAR(left, (screenWidth - width) / 2, 1);
    EXPECT_NEAR(top, (screenHeight - height) / 2, 1);

    x->requestClose(window);
    expectCancelled(child.wait());
}

TEST_F(GtkWindow, AWindowDestroyedByAnotherClientCancels) {
    serveSlowly();
    ChildProcess child(installer.executable, {}, options());
    const unsigned long window = waitForWindow();
    ASSERT_NE(window, 0u) << child.errSoFar();
    EXPECT_EQ(xdotool({"windowclose", std::to_string(window)}).exitStatus, 0);
    expectCancelled(child.wait());
}

TEST_F(GtkWindow, ReturnPressesCancel) {
    serveSlowly();
    ChildProcess child(installer.executable, {}, options());
    const unsigned long window = waitForWindow();
    ASSERT_NE(window, 0u) << child.errSoFar();
    // Without a window manager nothing gives the window the keyboard focus but us.
    EXPECT_EQ(xdotool({"windowfocus", "--sync", std::to_string(window)}).exitStatus, 0);
    EXPECT_EQ(xdotool({"key", "Return"}).exitStatus, 0);
    expectCancelled(child.wait());
}

TEST_F(GtkWindow, ADisplayThatNeverAnswersLeavesTheTerminalToServe) {
    display->signal(SIGSTOP); // it takes connections, and says nothing
    const auto result = runProgram(installer.executable, {}, options());
    display->signal(SIGCONT);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_NE(result.err.find("The display " + display->name() +
                              " does not answer; progress is shown in the terminal instead."),
              std::string::npos)
        << result.err;
}

TEST_F(GtkWindow, ASignalIsHeardWhateverTheWindowIsStuckOn) {
    // The window's thread waits a minute for a display that never answers.
    display->signal(SIGSTOP);
    ChildProcess child(installer.executable, {}, options({"QZ_TEST_DISPLAY_PATIENCE=60"}));
    ASSERT_TRUE(eventually([&] { return server.requestCount() == 1; }, 5.0));
    child.signal(SIGTERM);
    const bool ended = child.waitForExit(8.0);
    display->signal(SIGCONT);
    ASSERT_TRUE(ended);
    const auto result = child.wait();
    EXPECT_EQ(result.exitStatus, 255) << result.err;
    EXPECT_EQ(result.errLines().back(), "Installation failed.");
    EXPECT_TRUE(listDirectory(root / "tmp").empty());
}

TEST_F(GtkWindow, ADisplayLostDuringTheDownloadEndsTheRunAsAFailure) {
    serveSlowly();
    ChildProcess child(installer.executable, {}, options());
    ASSERT_NE(waitForWindow(), 0u) << child.errSoFar();
    x.reset();
    display.reset();
    const auto result = child.wait();
    EXPECT_EQ(result.exitStatus, 255) << result.err;
    ASSERT_FALSE(result.errLines().empty());
    EXPECT_EQ(result.errLines().back(), "Installation failed.");
    EXPECT_TRUE(listDirectory(root / "tmp").empty());
    EXPECT_TRUE(recordedArguments(root / "record").empty());
}

TEST_F(GtkWindow, SigtermClosesTheWindow) {
    serveSlowly();
    ChildProcess child(installer.executable, {}, options());
    const unsigned long window = waitForWindow();
    ASSERT_NE(window, 0u) << child.errSoFar();
    child.signal(SIGTERM);
    expectCancelled(child.wait());
}

} // namespace
} // namespace qz::test
