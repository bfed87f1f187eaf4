#include "platform/gtk_window.h"

#include "platform/close_on_signals.h"

#include <algorithm>
#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif
#include <string>

// Exported by GDK 3 for GTK's own use; see disableOpenGl.
extern "C" void* gdk__private__();

namespace qz::platform {
namespace {

constexpr char TITLE[] = "Velmor Installer";
constexpr int SPLASH_LIMIT = 400;
constexpr int CONTENT_WIDTH = 400;
constexpr char ERROR_COLOUR[] = "#c01c28";
// Widgets get the state from a timer, not from each data block, and never more than 24 times a
// second whoever asks, which leaves room for GTK's own frames within 30 a second.
constexpr guint TICK_MS = 20;
constexpr gint64 MIN_PUSH_INTERVAL_US = G_USEC_PER_SEC / 24;
constexpr gint64 PULSE_INTERVAL_US = G_USEC_PER_SEC / 10;
// The status field shows at most this many lines: the failure of a transfer has two.
constexpr int STATUS_LINES = 2;

bool isProgressText(const std::string& text) {
    return text.rfind("Downloading ", 0) == 0;
}

// The first `count` lines of `text`.
std::string firstLines(const std::string& text, int count) {
    std::size_t end = std::string::npos;
    for (std::size_t from = 0; count-- > 0 && from <= text.size(); from = end + 1) {
        end = text.find('\n', from);
        if (end == std::string::npos) {
            break;
        }
    }
    return text.substr(0, end);
}

// All of it runs on the main thread, from the main loop: GTK is never used from another one.
class GtkDownloadWindow : public DownloadWindow {
  public:
    GtkDownloadWindow() {
        build();
        // Shown once the launch has set the splash image, so the window is centred at its size.
        presentSource_ =
            g_idle_add_full(G_PRIORITY_HIGH_IDLE, &GtkDownloadWindow::onPresent, this, nullptr);
    }

    ~GtkDownloadWindow() override {
        removeSources();
        if (window_ != nullptr) {
            g_signal_handlers_disconnect_by_data(window_, this);
            // Destroying widgets whose X window is gone only makes GTK complain; the process is
            // about to end.
            if (!nativeWindowGone_) {
                gtk_widget_destroy(window_);
            }
            window_ = nullptr;
        }
        flushDisplay();
    }

    GtkDownloadWindow(const GtkDownloadWindow&) = delete;
    GtkDownloadWindow& operator=(const GtkDownloadWindow&) = delete;

    void setDelegate(DownloadWindowDelegate* delegate) override {
        delegate_ = delegate;
    }

    void setStatusText(const std::string& text) override {
        if (text == wanted_.status) {
            return;
        }
        wanted_.status = text;
        markDirty(!isProgressText(text));
        if (!text.empty()) {
            present();
        }
    }

    void setStatusColour(TextColour colour) override {
        if (colour == wanted_.colour) {
            return;
        }
        wanted_.colour = colour;
        markDirty(true);
        if (colour == TextColour::Red) {
            // The failure is the final state: show it now, and the window stays until closed.
            present();
            push();
        }
    }

    void setProgressIndeterminate(bool indeterminate) override {
        wanted_.indeterminate = indeterminate;
        markDirty(false);
    }
    void setProgressMaximum(double maximum) override {
        wanted_.maximum = maximum;
        markDirty(false);
    }
    double progressMaximum() const override {
        return wanted_.maximum;
    }
    void setProgressValue(double value) override {
        wanted_.value = value;
        markDirty(false);
    }
    void incrementProgressBy(double delta) override {
        wanted_.value += delta;
        markDirty(false);
    }
    void startProgressAnimation() override {
        wanted_.animating = true;
        markDirty(false);
        present();
    }
    void stopProgressAnimation() override {
        wanted_.animating = false;
        markDirty(false);
    }

    void setCancelEnabled(bool enabled) override {
        if (enabled != wanted_.cancelEnabled) {
            wanted_.cancelEnabled = enabled;
            markDirty(true);
        }
    }

    void showSplashImage(const std::string& path) override {
        if (window_ == nullptr) {
            return;
        }
        GdkPixbuf* pixbuf = loadSplash(path);
        if (pixbuf == nullptr) {
            return;
        }
        gtk_image_set_from_pixbuf(GTK_IMAGE(image_), pixbuf);
        g_object_unref(pixbuf);
        gtk_widget_show(image_);
    }

    void displayIfNeeded() override {
        if (closed_ || window_ == nullptr || !presented_) {
            return;
        }
        // GTK draws what was pushed in its next frame, from the main loop.
        if (dirty_ && (urgent_ || g_get_monotonic_time() - lastPush_ >= MIN_PUSH_INTERVAL_US)) {
            push();
        }
    }

    void close() override {
        if (closed_) {
            return;
        }
        closed_ = true;
        removeSources();
        if (window_ != nullptr && !nativeWindowGone_) {
            gtk_widget_hide(window_);
        }
        // The unmap must have reached the server before the install agent starts.
        syncDisplay();
        if (delegate_ != nullptr) {
            delegate_->windowWillClose();
        }
    }

  private:
    struct State {
        std::string status;
        TextColour colour = TextColour::Default;
        bool indeterminate = false;
        bool animating = false;
        double maximum = 100.0;
        double value = 0;
        bool cancelEnabled = true;
    };

    void build() {
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        GtkWindow* window = GTK_WINDOW(window_);
        gtk_window_set_title(window, TITLE);
        gtk_window_set_resizable(window, FALSE);
        gtk_window_set_position(window, GTK_WIN_POS_CENTER);
        gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_DIALOG);
        g_signal_connect(window_, "delete-event", G_CALLBACK(&GtkDownloadWindow::onDelete), this);
        g_signal_connect(window_, "destroy-event", G_CALLBACK(&GtkDownloadWindow::onDestroyEvent),
                         this);
        g_signal_connect(window_, "destroy", G_CALLBACK(&GtkDownloadWindow::onDestroy), this);
        g_signal_connect(window_, "key-press-event", G_CALLBACK(&GtkDownloadWindow::onKey), this);

        GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
        gtk_container_set_border_width(GTK_CONTAINER(box), 18);
        gtk_container_add(GTK_CONTAINER(window_), box);

        image_ = gtk_image_new();
        gtk_widget_set_halign(image_, GTK_ALIGN_CENTER);
        gtk_box_pack_start(GTK_BOX(box), image_, FALSE, FALSE, 0);

        bar_ = gtk_progress_bar_new();
        gtk_widget_set_size_request(bar_, CONTENT_WIDTH, -1);
        gtk_widget_set_margin_top(bar_, 6);
        gtk_box_pack_start(GTK_BOX(box), bar_, FALSE, FALSE, 0);

        // A single-line field: a longer text is ellipsised, never wrapped, and the field asks for
        // no more than the bar's width. Its height holds the two lines of a failure, whatever
        // the text, so the window never changes size.
        label_ = gtk_label_new(nullptr);
        gtk_label_set_xalign(GTK_LABEL(label_), 0.0F);
        gtk_label_set_yalign(GTK_LABEL(label_), 0.0F);
        gtk_label_set_line_wrap(GTK_LABEL(label_), FALSE);
        gtk_label_set_ellipsize(GTK_LABEL(label_), PANGO_ELLIPSIZE_END);
        gtk_label_set_max_width_chars(GTK_LABEL(label_), 1);
        PangoLayout* twoLines = gtk_widget_create_pango_layout(label_, "Xg\nXg");
        int lineHeight = 0;
        pango_layout_get_pixel_size(twoLines, nullptr, &lineHeight);
        g_object_unref(twoLines);
        gtk_widget_set_size_request(label_, -1, lineHeight);
        gtk_box_pack_start(GTK_BOX(box), label_, FALSE, FALSE, 0);

        GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
        gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
        cancel_ = gtk_button_new_with_label("Cancel");
        g_signal_connect(cancel_, "clicked", G_CALLBACK(&GtkDownloadWindow::onCancel), this);
        gtk_container_add(GTK_CONTAINER(buttons), cancel_);
        gtk_box_pack_end(GTK_BOX(box), buttons, FALSE, FALSE, 0);

        gtk_widget_show_all(box);
        gtk_widget_hide(image_);
        // Only a widget inside a window can become its default.
        gtk_widget_set_can_default(cancel_, TRUE);
        gtk_widget_grab_default(cancel_);
        gtk_widget_grab_focus(cancel_);
    }

    static GdkPixbuf* loadSplash(const std::string& path) {
        int width = 0;
        int height = 0;
        if (gdk_pixbuf_get_file_info(path.c_str(), &width, &height) == nullptr) {
            return nullptr;
        }
        GError* error = nullptr;
        // Scaled proportionally, up or down, to fit.
        GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file_at_scale(path.c_str(), SPLASH_LIMIT,
                                                              SPLASH_LIMIT, TRUE, &error);
        if (error != nullptr) {
            g_error_free(error);
        }
        return pixbuf;
    }

    void present() {
        if (presented_ || closed_ || window_ == nullptr) {
            return;
        }
        presented_ = true;
        if (presentSource_ != 0) {
            g_source_remove(presentSource_);
            presentSource_ = 0;
        }
        push();
        gtk_window_present(GTK_WINDOW(window_));
    }

    void markDirty(bool urgent) {
        dirty_ = true;
        urgent_ = urgent_ || urgent;
        if (tickSource_ == 0 && !closed_) {
            tickSource_ = g_timeout_add(TICK_MS, &GtkDownloadWindow::onTick, this);
        }
    }

    bool pulsing() const {
        return wanted_.indeterminate && wanted_.animating && wanted_.colour != TextColour::Red;
    }

    // Copies the wanted state into the widgets, touching only what changed.
    void push() {
        dirty_ = false;
        urgent_ = false;
        lastPush_ = g_get_monotonic_time();
        if (window_ == nullptr) {
            return;
        }
        const bool red = wanted_.colour == TextColour::Red;
        const std::string text = firstLines(wanted_.status, STATUS_LINES);
        gchar* valid = g_utf8_make_valid(text.c_str(), -1);
        gchar* escaped = g_markup_escape_text(valid, -1);
        const std::string markup =
            red ? std::string("<span foreground=\"") + ERROR_COLOUR + "\">" + escaped + "</span>"
                : std::string(escaped);
        g_free(escaped);
        g_free(valid);
        if (markup != shownMarkup_) {
            gtk_label_set_markup(GTK_LABEL(label_), markup.c_str());
            shownMarkup_ = markup;
        }

        if (wanted_.indeterminate) {
            if (!shownIndeterminate_) {
                shownIndeterminate_ = true;
                gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar_), 0.0);
                if (wanted_.animating) {
                    pulse();
                }
            }
        } else {
            const double fraction =
                wanted_.maximum > 0 ? std::clamp(wanted_.value / wanted_.maximum, 0.0, 1.0) : 0.0;
            if (shownIndeterminate_ || fraction != shownFraction_) {
                gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar_), fraction);
                shownIndeterminate_ = false;
                shownFraction_ = fraction;
            }
        }

        // After a failure nothing is left to cancel: an enabled button only closes the window. One
        // disabled at the hand-off stays so; the close box and Escape still close the window.
        if (red && wanted_.cancelEnabled && !shownClose_) {
            shownClose_ = true;
            gtk_button_set_label(GTK_BUTTON(cancel_), "Close");
        }
        const bool sensitive = wanted_.cancelEnabled;
        if (sensitive != gtk_widget_get_sensitive(cancel_)) {
            gtk_widget_set_sensitive(cancel_, sensitive);
            if (sensitive) {
                gtk_widget_grab_default(cancel_);
                gtk_widget_grab_focus(cancel_);
            }
        }
    }

    void pulse() {
        gtk_progress_bar_pulse(GTK_PROGRESS_BAR(bar_));
        lastPulse_ = g_get_monotonic_time();
    }

    // About ten times a second, whichever tick comes closest.
    void pulseIfDue() {
        if (g_get_monotonic_time() - lastPulse_ >= PULSE_INTERVAL_US - TICK_MS * 1000 / 2) {
            pulse();
        }
    }

    static gboolean onTick(gpointer data) {
        auto* self = static_cast<GtkDownloadWindow*>(data);
        const gint64 now = g_get_monotonic_time();
        if (self->dirty_ && self->presented_ && now - self->lastPush_ >= MIN_PUSH_INTERVAL_US) {
            self->push();
        }
        if (self->pulsing() && self->shownIndeterminate_) {
            self->pulseIfDue();
        }
        if (!self->dirty_ && !self->pulsing()) {
            self->tickSource_ = 0;
            return G_SOURCE_REMOVE;
        }
        return G_SOURCE_CONTINUE;
    }

    void removeSources() {
        signals_.stop();
        if (tickSource_ != 0) {
            g_source_remove(tickSource_);
            tickSource_ = 0;
        }
        if (presentSource_ != 0) {
            g_source_remove(presentSource_);
            presentSource_ = 0;
        }
    }

    static void flushDisplay() {
        if (GdkDisplay* display = gdk_display_get_default()) {
            gdk_display_flush(display);
        }
    }
    static void syncDisplay() {
        if (GdkDisplay* display = gdk_display_get_default()) {
            gdk_display_sync(display);
        }
    }

    static gboolean onPresent(gpointer data) {
        auto* self = static_cast<GtkDownloadWindow*>(data);
        self->presentSource_ = 0;
        self->present();
        return G_SOURCE_REMOVE;
    }

    static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer data) {
        static_cast<GtkDownloadWindow*>(data)->close();
        return TRUE; // close() hides the window itself
    }

    // Another X client destroyed the window: that is a close too.
    static gboolean onDestroyEvent(GtkWidget*, GdkEvent*, gpointer data) {
        auto* self = static_cast<GtkDownloadWindow*>(data);
        self->nativeWindowGone_ = true;
        self->close();
        return TRUE; // keeps GTK from destroying the widgets now, which it does noisily
    }

    static void onDestroy(GtkWidget*, gpointer data) {
        auto* self = static_cast<GtkDownloadWindow*>(data);
        self->window_ = nullptr;
        self->image_ = self->bar_ = self->label_ = self->cancel_ = nullptr;
        self->close();
    }

    static void onCancel(GtkButton*, gpointer data) {
        static_cast<GtkDownloadWindow*>(data)->close();
    }

    static gboolean onKey(GtkWidget*, GdkEventKey* event, gpointer data) {
        auto* self = static_cast<GtkDownloadWindow*>(data);
        // Escape is the close box, whatever the button's state.
        if (event->keyval == GDK_KEY_Escape) {
            self->close();
            return TRUE;
        }
        return FALSE;
    }

    GtkWidget* window_ = nullptr;
    GtkWidget* image_ = nullptr;
    GtkWidget* bar_ = nullptr;
    GtkWidget* label_ = nullptr;
    GtkWidget* cancel_ = nullptr;
    DownloadWindowDelegate* delegate_ = nullptr;
    CloseOnSignals signals_{[this] { close(); }};
    guint tickSource_ = 0;
    guint presentSource_ = 0;

    State wanted_;
    std::string shownMarkup_;
    bool shownIndeterminate_ = false;
    double shownFraction_ = -1;
    bool shownClose_ = false;
    bool dirty_ = false;
    bool urgent_ = false;
    bool presented_ = false;
    bool closed_ = false;
    bool nativeWindowGone_ = false;
    gint64 lastPush_ = 0;
    gint64 lastPulse_ = 0;
};

// GDK probes OpenGL as it opens an X display, loading a software renderer (Mesa and LLVM) that
// takes about a fifth of a second and 50 MiB; this window draws nothing with OpenGL. GDK_GL=disable
// would avoid it, but the environment must not change while other threads may read it. GDK 3.24
// exports a table of its own internal calls, frozen with GTK 3, whose sixth entry sets the same
// flag; GDK_GL, when the user set it, still wins.
struct GdkInternalCalls {
    void* deviceGrabInfo;
    void* displayOpenDefault;
    void* addOptionEntries;
    void* preParse;
    unsigned (*glGetFlags)();
    void (*glSetFlags)(unsigned flags);
};
constexpr unsigned GDK_GL_DISABLE_FLAG = 1u << 0;

void disableOpenGl() {
    if (gtk_get_major_version() == 3 && gtk_get_minor_version() == 24) {
        auto* calls = static_cast<GdkInternalCalls*>(gdk__private__());
        calls->glSetFlags(calls->glGetFlags() | GDK_GL_DISABLE_FLAG);
    }
}

} // namespace

} // namespace qz::platform

// The entry point of this loadable module: the window, or nullptr when no display can be opened.
extern "C" __attribute__((visibility("default"))) qz::platform::DownloadWindow*
qz_make_gtk_window() {
    using namespace qz::platform;
    // GTK's setlocale would change how numbers are printed and parsed elsewhere in the program.
    gtk_disable_setlocale();
    disableOpenGl();
    if (!gtk_init_check(nullptr, nullptr)) {
        return nullptr;
    }
#ifdef GDK_WINDOWING_X11
    GdkDisplay* display = gdk_display_get_default();
    if (GDK_IS_X11_DISPLAY(display)) {
        // GDK ends the program on any X error, skipping all clean-up; one can come from drawing
        // while another client destroys the window. A trap that is never popped ignores them.
        gdk_x11_display_error_trap_push(display);
    }
#endif
    return new GtkDownloadWindow();
}
