// The GTK window driven directly, in this process, on an X server of its own. The test program
// links GTK itself, so the window's module shares it and the tests can look at the widgets.
#include "bootstrap/settings.h"
#include "platform/gtk_window.h"

#include "platform/event_loop.h"
#include "support/main_context.h"
#include "support/virtual_display.h"

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

namespace qz::platform {
namespace {

const std::string FAILURE =
    "Error during the download process.\nSee your system log for more information.";

WindowState state(Activity activity, const std::string& status, ProgressBar bar,
                  bool cancelEnabled = true) {
    WindowState s;
    s.activity = activity;
    s.status = status;
    s.colour = activity == Activity::Failed ? TextColour::Red : TextColour::Default;
    s.bar = bar;
    s.cancelEnabled = cancelEnabled;
    return s;
}

const ProgressBar PULSING{true, true, 0, std::nullopt};
const ProgressBar HALF{false, true, 50, 100.0};
const ProgressBar FULL{false, false, 100, 100.0};

// One X server for the whole program: GTK keeps its connection until the process ends.
class XServer : public ::testing::Environment {
  public:
    void SetUp() override {
        if (!test::findProgram("Xvfb")) {
            return;
        }
        display_ = std::make_unique<test::VirtualDisplay>();
        if (!display_->name().empty()) {
            ::setenv("DISPLAY", display_->name().c_str(), 1);
            ::setenv("NO_AT_BRIDGE", "1", 1);
            ::unsetenv("WAYLAND_DISPLAY");
            ::unsetenv("GDK_GL");
            // As the program does at start, before any other thread runs.
            runSettings();
        }
    }
    void TearDown() override {
        display_.reset();
    }
    static bool ready() {
        return server != nullptr && server->display_ && !server->display_->name().empty();
    }
    static XServer* server;

  private:
    std::unique_ptr<test::VirtualDisplay> display_;
};
XServer* XServer::server = static_cast<XServer*>(::testing::AddGlobalTestEnvironment(new XServer));

struct ClosingDelegate : DownloadWindowDelegate {
    int closes = 0;
    void windowWillClose() override {
        ++closes;
    }
};

void collect(GtkWidget* widget, std::vector<GtkWidget*>& widgets) {
    widgets.push_back(widget);
    if (GTK_IS_CONTAINER(widget)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
        for (GList* child = children; child != nullptr; child = child->next) {
            collect(GTK_WIDGET(child->data), widgets);
        }
        g_list_free(children);
    }
}

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

class GtkWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!XServer::ready()) {
            GTEST_SKIP() << "needs Xvfb";
        }
        open();
    }

    // A new window, and its widgets.
    void open() {
        window.reset();
        delegate.closes = 0;
        window = makeGtkWindow(loop);
        ASSERT_NE(window, nullptr);
        window->setDelegate(&delegate);
        toplevel = button = status = bar = image = nullptr;
        GList* toplevels = gtk_window_list_toplevels();
        for (GList* item = toplevels; item != nullptr; item = item->next) {
            if (g_strcmp0(gtk_window_get_title(GTK_WINDOW(item->data)), "Velmor Installer") == 0) {
                toplevel = GTK_WIDGET(item->data);
            }
        }
        g_list_free(toplevels);
        ASSERT_NE(toplevel, nullptr);
        std::vector<GtkWidget*> widgets;
        collect(toplevel, widgets);
        for (GtkWidget* widget : widgets) {
            if (GTK_IS_BUTTON(widget)) {
                button = widget;
            } else if (GTK_IS_LABEL(widget) && !GTK_IS_BUTTON(gtk_widget_get_parent(widget))) {
                status = widget;
            } else if (GTK_IS_PROGRESS_BAR(widget)) {
                bar = widget;
            } else if (GTK_IS_IMAGE(widget)) {
                image = widget;
            }
        }
        ASSERT_NE(button, nullptr);
        ASSERT_NE(status, nullptr);
        ASSERT_NE(bar, nullptr);
        ASSERT_NE(image, nullptr);
    }

    PangoLayout* statusLayout() const {
        return gtk_label_get_layout(GTK_LABEL(status));
    }

    std::string shownStatus() const {
        return gtk_label_get_text(GTK_LABEL(status));
    }

    // Until the window shows `text` and has been laid out and painted with it.
    void waitUntilShown(const std::string& text) {
        ASSERT_TRUE(test::runMainContextUntil([&] { return shownStatus() == text; }, 5.0))
            << shownStatus();
        GdkFrameClock* clock = gtk_widget_get_frame_clock(toplevel);
        ASSERT_NE(clock, nullptr);
        int painted = 0;
        const gulong id = g_signal_connect_swapped(
            clock, "after-paint", G_CALLBACK(+[](int* count) { ++*count; }), &painted);
        gtk_widget_queue_draw(toplevel);
        EXPECT_TRUE(test::runMainContextUntil([&] { return painted > 0; }, 5.0));
        g_signal_handler_disconnect(clock, id);
    }

    GtkRequisition naturalSize() const {
        GtkRequisition natural{};
        gtk_widget_get_preferred_size(toplevel, nullptr, &natural);
        return natural;
    }

    // A key as the X server would deliver it to the focused window.
    void press(guint keyval, GdkModifierType modifiers = GdkModifierType(0)) {
        GdkDisplay* display = gtk_widget_get_display(toplevel);
        GdkKeymapKey* keys = nullptr;
        gint count = 0;
        gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(display), keyval, &keys,
                                          &count);
        GdkEvent* event = gdk_event_new(GDK_KEY_PRESS);
        event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(toplevel)));
        event->key.send_event = TRUE;
        event->key.time = GDK_CURRENT_TIME;
        event->key.keyval = keyval;
        event->key.state = modifiers;
        if (count > 0) {
            event->key.hardware_keycode = static_cast<guint16>(keys[0].keycode);
            event->key.group = static_cast<guint8>(keys[0].group);
        }
        gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(display)));
        gtk_main_do_event(event);
        gdk_event_free(event);
        g_free(keys);
    }

    EventLoop loop;
    ClosingDelegate delegate;
    std::unique_ptr<DownloadWindow> window;
    GtkWidget* toplevel = nullptr;
    GtkWidget* button = nullptr;
    GtkWidget* status = nullptr;
    GtkWidget* bar = nullptr;
    GtkWidget* image = nullptr;
};

TEST_F(GtkWindowTest, TheStatusIsOneLineAndNeverResizesTheWindow) {
    window->show(state(Activity::Transferring, "Downloading  50%", HALF));
    waitUntilShown("Downloading  50%");
    const GtkRequisition size = naturalSize();

    const std::string longText = "Waiting for " + std::string(300, 'x') + " to finish";
    window->show(state(Activity::Waiting, longText, PULSING));
    waitUntilShown(longText);
    EXPECT_EQ(pango_layout_get_line_count(statusLayout()), 1);
    EXPECT_TRUE(pango_layout_is_ellipsized(statusLayout()));
    EXPECT_EQ(naturalSize().width, size.width);
    EXPECT_EQ(naturalSize().height, size.height);

    // The failure has two lines of its own: both are shown.
    window->show(state(Activity::Failed, FAILURE, FULL));
    waitUntilShown(FAILURE);
    EXPECT_EQ(pango_layout_get_line_count(statusLayout()), 2);
    EXPECT_FALSE(pango_layout_is_ellipsized(statusLayout()));
    EXPECT_EQ(naturalSize().width, size.width);
    EXPECT_EQ(naturalSize().height, size.height);
}

TEST_F(GtkWindowTest, AnEmptyStatusStaysEmptyWhileTheBarPulses) {
    window->show(state(Activity::Transferring, "", PULSING));
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
            window->show(
                state(Activity::HandingOver, "Initializing the installer", PULSING, false));
        }
        window->show(state(Activity::Failed, message, FULL, enabled));
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
            EXPECT_TRUE(test::runMainContextUntil([&] { return delegate.closes == 1; }, 5.0));
        } else {
            EXPECT_EQ(delegate.closes, 0);
            press(GDK_KEY_Escape);
            EXPECT_EQ(delegate.closes, 1);
        }
    }
}

TEST_F(GtkWindowTest, ScreenReadersFindTheBarByNameWithItsValueButNotTheSplash) {
    AtkObject* progress = gtk_widget_get_accessible(bar);
    EXPECT_STREQ(atk_object_get_name(progress), "Download progress");
    AtkRelationSet* relations = atk_object_ref_relation_set(progress);
    AtkRelation* describedBy =
        atk_relation_set_get_relation_by_type(relations, ATK_RELATION_DESCRIBED_BY);
    ASSERT_NE(describedBy, nullptr);
    EXPECT_EQ(g_ptr_array_index(atk_relation_get_target(describedBy), 0),
              gtk_widget_get_accessible(status));
    g_object_unref(relations);

    window->show(state(Activity::Transferring, "Downloading  50%", HALF));
    waitUntilShown("Downloading  50%");
    double value = 0;
    gchar* text = nullptr;
    atk_value_get_value_and_text(ATK_VALUE(progress), &value, &text);
    g_free(text);
    EXPECT_DOUBLE_EQ(value, 0.5);
    EXPECT_EQ(atk_object_get_role(gtk_widget_get_accessible(image)), ATK_ROLE_REDUNDANT_OBJECT);
}

TEST_F(GtkWindowTest, OnlyAFailureIsAnnouncedAsANotification) {
    window->show(state(Activity::Transferring, "Downloading  50%", HALF));
    waitUntilShown("Downloading  50%");
    AtkObject* shown = gtk_widget_get_accessible(status);
    int announced = 0;
    const gulong id = g_signal_connect(
        shown, "state-change::showing",
        G_CALLBACK(+[](AtkObject*, gchar*, gboolean on, int* count) { *count += on ? 1 : 0; }),
        &announced);
    window->show(state(Activity::Transferring, "Downloading  60%", HALF));
    waitUntilShown("Downloading  60%");
    EXPECT_EQ(announced, 0);
    EXPECT_EQ(atk_object_get_role(shown), ATK_ROLE_LABEL);

    window->show(state(Activity::Failed, FAILURE, FULL));
    waitUntilShown(FAILURE);
    g_signal_handler_disconnect(shown, id);
    EXPECT_EQ(announced, 1);
    EXPECT_EQ(atk_object_get_role(shown), ATK_ROLE_NOTIFICATION);
    EXPECT_EQ(std::string(atk_object_get_name(shown)), FAILURE);
}

TEST_F(GtkWindowTest, TheButtonHasTheFocusAndAltWithItsMnemonicPressesIt) {
    window->show(state(Activity::Transferring, "Downloading  50%", HALF));
    waitUntilShown("Downloading  50%");
    EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(toplevel)), button);
    EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(button)), "_Cancel");
    EXPECT_TRUE(gtk_button_get_use_underline(GTK_BUTTON(button)));
    press(GDK_KEY_c, GDK_MOD1_MASK);
    EXPECT_TRUE(test::runMainContextUntil([&] { return delegate.closes == 1; }, 5.0));

    open();
    window->show(state(Activity::Failed, FAILURE, FULL));
    waitUntilShown(FAILURE);
    EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(button)), "_Close");
    EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(toplevel)), button);
    press(GDK_KEY_c, GDK_MOD1_MASK);
    EXPECT_TRUE(test::runMainContextUntil([&] { return delegate.closes == 1; }, 5.0));
}

TEST_F(GtkWindowTest, TheHandOffStartsNoThread) {
    window->show(state(Activity::Transferring, "Downloading 100%", FULL));
    waitUntilShown("Downloading 100%");
    const auto before = threadsOfThisProcess();

    window->show(state(Activity::HandingOver, "Initializing the installer", PULSING, false));
    EXPECT_EQ(threadsOfThisProcess(), before);
    waitUntilShown("Initializing the installer");
}

TEST(GtkWindowOpening, LeavesTheEnvironmentAlone) {
    if (!XServer::ready()) {
        GTEST_SKIP() << "needs Xvfb";
    }
    EventLoop loop;
    watchEnvironment = true;
    auto window = makeGtkWindow(loop);
    watchEnvironment = false;
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(environmentChanges, 0);
}

TEST(GtkWindowOpening, LoadsNoOpenGl) {
    if (!XServer::ready()) {
        GTEST_SKIP() << "needs Xvfb";
    }
    EventLoop loop;
    auto window = makeGtkWindow(loop);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(::dlopen("libGL.so.1", RTLD_LAZY | RTLD_NOLOAD), nullptr);
}

} // namespace
} // namespace qz::platform
