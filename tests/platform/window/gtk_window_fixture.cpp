#include "platform/window/gtk_window_fixture.h"

#include "support/main_context.h"
#include "support/virtual_display.h"

#include <vector>

namespace qz::test {
namespace {

// One X server for the whole program: GTK keeps its connection until the process ends.
class XServer : public ::testing::Environment {
  public:
    void SetUp() override {
        if (!findProgram("Xvfb")) {
            return;
        }
        display_ = std::make_unique<VirtualDisplay>();
        if (!display_->name().empty()) {
            ::setenv("DISPLAY", display_->name().c_str(), 1);
            ::setenv("NO_AT_BRIDGE", "1", 1);
            ::unsetenv("WAYLAND_DISPLAY");
            // As the program sets it at start, before any other thread runs.
            ::setenv("GDK_GL", "disable", 1);
        }
    }
    void TearDown() override {
        display_.reset();
    }
    bool ready() const {
        return display_ && !display_->name().empty();
    }

  private:
    std::unique_ptr<VirtualDisplay> display_;
};
const XServer* const xServer =
    static_cast<XServer*>(::testing::AddGlobalTestEnvironment(new XServer));

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

} // namespace

bool xServerReady() {
    return xServer->ready();
}

platform::WindowState state(platform::Activity activity, const std::string& status,
                            platform::ProgressBar bar, bool cancelEnabled) {
    platform::WindowState s;
    s.activity = activity;
    s.status = status;
    s.colour = activity == platform::Activity::Failed ? platform::TextColour::Red
                                                      : platform::TextColour::Default;
    s.bar = bar;
    s.cancelEnabled = cancelEnabled;
    return s;
}

void GtkWindowTest::SetUp() {
    if (!xServerReady()) {
        GTEST_SKIP() << "needs Xvfb";
    }
    open();
}

void GtkWindowTest::open() {
    window.reset();
    delegate.closes = 0;
    window = platform::makeGtkWindow(loop);
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

PangoLayout* GtkWindowTest::statusLayout() const {
    return gtk_label_get_layout(GTK_LABEL(status));
}

std::string GtkWindowTest::shownStatus() const {
    return gtk_label_get_text(GTK_LABEL(status));
}

void GtkWindowTest::waitUntilShown(const std::string& text) {
    ASSERT_TRUE(runMainContextUntil([&] { return shownStatus() == text; }, 5.0)) << shownStatus();
    GdkFrameClock* clock = gtk_widget_get_frame_clock(toplevel);
    ASSERT_NE(clock, nullptr);
    int painted = 0;
    const gulong id = g_signal_connect_swapped(clock, "after-paint",
                                               G_CALLBACK(+[](int* count) { ++*count; }), &painted);
    gtk_widget_queue_draw(toplevel);
    EXPECT_TRUE(runMainContextUntil([&] { return painted > 0; }, 5.0));
    g_signal_handler_disconnect(clock, id);
}

GtkRequisition GtkWindowTest::naturalSize() const {
    GtkRequisition natural{};
    gtk_widget_get_preferred_size(toplevel, nullptr, &natural);
    return natural;
}

void GtkWindowTest::press(guint keyval, GdkModifierType modifiers) {
    GdkDisplay* display = gtk_widget_get_display(toplevel);
    GdkKeymapKey* keys = nullptr;
    gint count = 0;
    gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(display), keyval, &keys, &count);
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

} // namespace qz::test
