// Every way a user closes the window cancels the run.
#include "integration/gtk_window_fixture.h"

namespace qz::test {
namespace {

TEST_F(GtkWindow, AppearsCentredWithItsTitleAndItsCloseBoxCancels) {
    serveSlowly();
    ChildProcess child(installer.executable, {}, options());
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
