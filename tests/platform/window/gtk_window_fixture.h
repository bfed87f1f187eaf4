#pragma once

// The GTK window driven directly, in this process, on an X server of its own. The test programs
// link GTK themselves, so the window's module shares it and the tests can look at the widgets.
#include "platform/window/download_window.h"

#include "platform/system/event_loop.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <memory>
#include <string>

namespace qz::test {

inline const std::string FAILURE =
    "Error during the download process.\nSee your system log for more information.";

inline const platform::ProgressBar PULSING{true, true, 0, std::nullopt};
inline const platform::ProgressBar HALF{false, true, 50, 100.0};
inline const platform::ProgressBar FULL{false, false, 100, 100.0};

platform::WindowState state(platform::Activity activity, const std::string& status,
                            platform::ProgressBar bar, bool cancelEnabled = true);

// Whether the X server that the whole program shares is up (GTK keeps its connection until the
// process ends).
bool xServerReady();

struct ClosingDelegate : platform::DownloadWindowDelegate {
    int closes = 0;
    void windowWillClose() override {
        ++closes;
    }
};

// A window of its own for each test, with its widgets found.
class GtkWindowTest : public ::testing::Test {
  protected:
    void SetUp() override;

    // A new window, and its widgets.
    void open();
    std::string shownStatus() const;
    PangoLayout* statusLayout() const;
    // Until the window shows `text` and has been laid out and painted with it.
    void waitUntilShown(const std::string& text);
    GtkRequisition naturalSize() const;
    // A key as the X server would deliver it to the focused window.
    void press(guint keyval, GdkModifierType modifiers = GdkModifierType(0));

    platform::EventLoop loop;
    ClosingDelegate delegate;
    std::unique_ptr<platform::DownloadWindow> window;
    GtkWidget* toplevel = nullptr;
    GtkWidget* button = nullptr;
    GtkWidget* status = nullptr;
    GtkWidget* bar = nullptr;
    GtkWidget* image = nullptr;
};

} // namespace qz::test
