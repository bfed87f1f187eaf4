// The GTK window's states as it shows them, and what opening it does to the process.
#include "platform/window/gtk_window_fixture.h"

#include "support/main_context.h"

#include <atomic>
#include <cstdlib>
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <set>
#include <string>
#include <vector>

namespace {

// Environment changes made while `watchEnvironment` is on; a removal counts only when the
// variable was there.
std::atomic<bool> watchEnvironment{false};
std::atomic<int> environmentChanges{0};

template <typename Fn> Fn realFunction(const char* name) {
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int setenv(const char* name, const char* value, int overwrite) noexcept {
    static const auto real = realFunction<int (*)(const char*, const char*, int)>("setenv");
    environmentChanges += watchEnvironment ? 1 : 0;
    return real(name, value, overwrite);
}

extern "C" int unsetenv(const char* name) noexcept {
    static const auto real = realFunction<int (*)(const char*)>("unsetenv");
    environmentChanges += watchEnvironment && std::getenv(name) != nullptr ? 1 : 0;
    return real(name);
}

extern "C" int putenv(char* string) noexcept {
    static const auto real = realFunction<int (*)(char*)>("putenv");
    environmentChanges += watchEnvironment ? 1 : 0;
    return real(string);
}

namespace qz::test {
namespace {

std::set<std::string> threadsOfThisProcess() {
    std::set<std::string> threads;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') {
                threads.insert(entry->d_name);
            }
        }
        ::closedir(dir);
    }
    return threads;
}

TEST_F(GtkWindowTest, TheStatusWrapsAndNeverResizesTheWindow) {
    window->show(state(platform::Activity::Transferring, "Downloading  50%", HALF));
    waitUntilShown("Downloading  50%");
    const GtkRequisition size = naturalSize();

    const std::string longText = "Waiting for " + std::string(300, 'x') + " to finish";
    window->show(state(platform::Activity::Waiting, longText, PULSING));
    waitUntilShown(longText);
    EXPECT_EQ(pango_layout_get_line_count(statusLayout()), 4);
    EXPECT_TRUE(pango_layout_is_ellipsized(statusLayout()));
    EXPECT_EQ(naturalSize().width, size.width);
    EXPECT_EQ(naturalSize().height, size.height);

    // A signature's failure reads whole.
    const std::string refused = "The install agent archive InstallAgent.zip is not trusted: its "
                                "signature is for another file, InstallAgent_2026-12-08.zip.";
    window->show(state(platform::Activity::Failed, refused, FULL));
    waitUntilShown(refused);
    EXPECT_FALSE(pango_layout_is_ellipsized(statusLayout()));
    EXPECT_EQ(naturalSize().height, size.height);

    // The failure has two lines of its own: both are shown.
    window->show(state(platform::Activity::Failed, FAILURE, FULL));
    waitUntilShown(FAILURE);
    EXPECT_EQ(pango_layout_get_line_count(statusLayout()), 2);
    EXPECT_FALSE(pango_layout_is_ellipsized(statusLayout()));
    EXPECT_EQ(naturalSize().width, size.width);
    EXPECT_EQ(naturalSize().height, size.height);
}

TEST_F(GtkWindowTest, AnEmptyStatusStaysEmptyWhileTheBarPulses) {
    window->show(state(platform::Activity::Transferring, "", PULSING));
    waitUntilShown("");
    EXPECT_EQ(shownStatus(), "");
}

TEST_F(GtkWindowTest, AfterAFailureTheButtonClosesOnlyWhereItWasEnabled) {
    // Disabled: the hand-off disabled it before the unpacking failed.
    for (bool enabled : {true, false}) {
        SCOPED_TRACE(enabled ? "failed transfer" : "failed unpack");
        const std::string message = enabled ? FAILURE : "Failed to unzip the installer.";
        open();
        if (!enabled) {
            window->show(state(platform::Activity::HandingOver, "Initializing the installer",
                               PULSING, false));
        }
        window->show(state(platform::Activity::Failed, message, FULL, enabled));
        waitUntilShown(message);
        EXPECT_EQ(gtk_widget_get_sensitive(button), enabled);

        // Return activates the button at once; its click, and so the close, follows later.
        int activations = 0;
        const gulong id = g_signal_connect_swapped(button, "activate",
                                                   G_CALLBACK(+[](int* n) { ++*n; }), &activations);
        press(GDK_KEY_Return);
        g_signal_handler_disconnect(button, id);
        EXPECT_EQ(activations, enabled ? 1 : 0);
        if (enabled) {
            EXPECT_TRUE(runMainContextUntil([&] { return delegate.closes == 1; }, 5.0));
        } else {
            EXPECT_EQ(delegate.closes, 0);
            press(GDK_KEY_Escape);
            EXPECT_EQ(delegate.closes, 1);
        }
    }
}

TEST_F(GtkWindowTest, TheHandOffStartsNoThread) {
    window->show(state(platform::Activity::Transferring, "Downloading 100%", FULL));
    waitUntilShown("Downloading 100%");
    const auto before = threadsOfThisProcess();

    window->show(
        state(platform::Activity::HandingOver, "Initializing the installer", PULSING, false));
    EXPECT_EQ(threadsOfThisProcess(), before);
    waitUntilShown("Initializing the installer");
}

TEST(GtkWindowOpening, LeavesTheEnvironmentAlone) {
    if (!xServerReady()) {
        GTEST_SKIP() << "needs Xvfb";
    }
    platform::EventLoop loop;
    watchEnvironment = true;
    auto window = platform::makeGtkWindow(loop);
    watchEnvironment = false;
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(environmentChanges, 0);
}

TEST(GtkWindowOpening, LoadsNoOpenGl) {
    if (!xServerReady()) {
        GTEST_SKIP() << "needs Xvfb";
    }
    platform::EventLoop loop;
    auto window = platform::makeGtkWindow(loop);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(::dlopen("libGL.so.1", RTLD_LAZY | RTLD_NOLOAD), nullptr);
}

} // namespace
} // namespace qz::test
