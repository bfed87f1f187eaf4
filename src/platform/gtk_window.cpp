#include "platform/gtk_window.h"

#include "platform/close_on_signals.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <glib-unix.h>
#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

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
constexpr auto BLOCKED_FRAME = std::chrono::milliseconds(40);

bool isProgressText(const std::string& text) {
    return text.rfind("Downloading ", 0) == 0;
}

class GtkDownloadWindow;

// A source that never fires: its prepare runs first in every main loop iteration, which is
// where the main thread takes GTK back from the animation thread.
struct GuardSource {
    GSource source;
    GtkDownloadWindow* window;
};

class GtkDownloadWindow : public DownloadWindow {
  public:
    GtkDownloadWindow() {
        build();
        static GSourceFuncs guardFuncs = {
            &GtkDownloadWindow::onGuardPrepare,
            [](GSource*) -> gboolean { return FALSE; },
            [](GSource*, GSourceFunc, gpointer) -> gboolean { return G_SOURCE_CONTINUE; },
            nullptr,
            nullptr,
            nullptr};
        guard_ = g_source_new(&guardFuncs, sizeof(GuardSource));
        reinterpret_cast<GuardSource*>(guard_)->window = this;
        g_source_set_priority(guard_, G_PRIORITY_HIGH - 100);
        g_source_attach(guard_, nullptr);
        // Shown once the launch has set the splash image, so the window is centred at its size.
        presentSource_ =
            g_idle_add_full(G_PRIORITY_HIGH_IDLE, &GtkDownloadWindow::onPresent, this, nullptr);
    }

    ~GtkDownloadWindow() override {
        reclaim();
        removeSources();
        g_source_destroy(guard_);
        g_source_unref(guard_);
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
        reclaim();
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
        reclaim();
        if (colour == wanted_.colour) {
            return;
        }
        wanted_.colour = colour;
        markDirty(true);
        if (colour == TextColour::Red) {
            // The failure is the final state: show it now, and the window stays until closed.
            present();
            push();
            // Standard error carries the same messages whichever window shows them.
            if (wanted_.status != printedFailure_) {
                printedFailure_ = wanted_.status;
                std::fprintf(stderr, "%s\n", wanted_.status.c_str());
                std::fflush(stderr);
            }
        }
    }

    void setProgressIndeterminate(bool indeterminate) override {
        reclaim();
        wanted_.indeterminate = indeterminate;
        markDirty(false);
    }
    void setProgressMaximum(double maximum) override {
        reclaim();
        wanted_.maximum = maximum;
        markDirty(false);
    }
    double progressMaximum() const override {
        return wanted_.maximum;
    }
    void setProgressValue(double value) override {
        reclaim();
        wanted_.value = value;
        markDirty(false);
    }
    void incrementProgressBy(double delta) override {
        reclaim();
        wanted_.value += delta;
        markDirty(false);
    }
    void startProgressAnimation() override {
        reclaim();
        wanted_.animating = true;
        markDirty(false);
        present();
    }
    void stopProgressAnimation() override {
        reclaim();
        wanted_.animating = false;
        markDirty(false);
    }

    void setCancelEnabled(bool enabled) override {
        reclaim();
        if (enabled != wanted_.cancelEnabled) {
            wanted_.cancelEnabled = enabled;
            markDirty(true);
        }
    }

    void showSplashImage(const std::string& path) override {
        reclaim();
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
        reclaim();
        if (closed_ || window_ == nullptr || !presented_) {
            return;
        }
        if (urgent_) {
            push();
            paintNow();
            animateWhileBlocked();
        } else if (dirty_ && g_get_monotonic_time() - lastPush_ >= MIN_PUSH_INTERVAL_US) {
            push();
        }
    }

    void close() override {
        reclaim();
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

        // Room for two lines whatever the text, so the window never changes size.
        label_ = gtk_label_new(nullptr);
        gtk_label_set_xalign(GTK_LABEL(label_), 0.0F);
        gtk_label_set_yalign(GTK_LABEL(label_), 0.0F);
        gtk_label_set_line_wrap(GTK_LABEL(label_), TRUE);
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
        // Scaled down to fit, proportionally; a smaller image keeps its size.
        GdkPixbuf* pixbuf = width <= SPLASH_LIMIT && height <= SPLASH_LIMIT
                                ? gdk_pixbuf_new_from_file(path.c_str(), &error)
                                : gdk_pixbuf_new_from_file_at_scale(path.c_str(), SPLASH_LIMIT,
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
        std::string text = wanted_.status;
        if (text.empty() && pulsing()) {
            text = "Downloading the install agent";
        }
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

        // After a failure nothing is left to cancel: the button only closes the window.
        if (red && !shownRed_) {
            shownRed_ = true;
            gtk_button_set_label(GTK_BUTTON(cancel_), "Close");
        }
        const bool sensitive = wanted_.cancelEnabled || red;
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

    // Draws the window at once, outside the frame clock: for a caller that is about to block the
    // main loop. Nothing is dispatched, so no transfer callback can run inside the caller.
    void paintNow() {
        if (window_ == nullptr || !gtk_widget_get_mapped(window_)) {
            return;
        }
        GdkWindow* gdkWindow = gtk_widget_get_window(window_);
        gtk_container_check_resize(GTK_CONTAINER(window_));
        cairo_region_t* region = gdk_window_get_visible_region(gdkWindow);
        GdkDrawingContext* context = gdk_window_begin_draw_frame(gdkWindow, region);
        gtk_widget_draw(window_, gdk_drawing_context_get_cairo_context(context));
        gdk_window_end_draw_frame(gdkWindow, context);
        cairo_region_destroy(region);
        gdk_display_flush(gdk_window_get_display(gdkWindow));
    }

    // A bar pulsing with Cancel disabled is the hand-off: the install agent is unpacked on the
    // main thread right after this call, with no main loop running. A thread keeps the bar
    // moving meanwhile. GTK is never used by two threads at once: the main thread does not touch
    // it until it has joined the thread again (reclaim), which every entry point of this window
    // and every main loop iteration (the guard source) does first.
    void animateWhileBlocked() {
        if (!pulsing() || wanted_.cancelEnabled || !gtk_widget_get_mapped(window_)) {
            return;
        }
        stopAnimator_ = false;
        // Signals stay with the main thread, where the GLib signal sources expect them.
        sigset_t all;
        sigset_t old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        animator_ = std::thread([this] { animate(); });
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }

    void animate() {
        std::unique_lock<std::mutex> lock(mutex_);
        GdkFrameClock* clock = gtk_widget_get_frame_clock(window_);
        while (!wake_.wait_for(lock, BLOCKED_FRAME, [this] { return stopAnimator_; })) {
            lock.unlock();
            pulseIfDue();
            // The bar moves its block in the frame clock's update phase, which the blocked main
            // loop cannot run.
            if (clock != nullptr) {
                g_signal_emit_by_name(clock, "update");
            }
            paintNow();
            lock.lock();
        }
    }

    void reclaim() {
        if (!animator_.joinable()) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopAnimator_ = true;
        }
        wake_.notify_all();
        animator_.join();
    }

    static gboolean onGuardPrepare(GSource* source, gint* timeout) {
        *timeout = -1;
        reinterpret_cast<GuardSource*>(source)->window->reclaim();
        return FALSE;
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
        if (event->keyval == GDK_KEY_Escape && self->cancel_ != nullptr &&
            gtk_widget_is_sensitive(self->cancel_)) {
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
    GSource* guard_ = nullptr;

    State wanted_;
    std::string printedFailure_;
    std::string shownMarkup_;
    bool shownIndeterminate_ = false;
    double shownFraction_ = -1;
    bool shownRed_ = false;
    bool dirty_ = false;
    bool urgent_ = false;
    bool presented_ = false;
    bool closed_ = false;
    bool nativeWindowGone_ = false;
    gint64 lastPush_ = 0;
    gint64 lastPulse_ = 0;

    std::thread animator_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopAnimator_ = false;
};

} // namespace

} // namespace qz::platform

// The entry point of this loadable module: the window, or nullptr when no display can be opened.
extern "C" __attribute__((visibility("default"))) qz::platform::DownloadWindow*
qz_make_gtk_window() {
    using namespace qz::platform;
    // GTK's setlocale would change how numbers are printed and parsed elsewhere in the program.
    gtk_disable_setlocale();
    // GDK probes OpenGL while it opens the display, loading a software renderer that takes a
    // tenth of a second; this window draws nothing with OpenGL. Set for this call only, so the
    // install agent inherits the environment unchanged.
    const bool glChosen = g_getenv("GDK_GL") != nullptr;
    if (!glChosen) {
        g_setenv("GDK_GL", "disable", TRUE);
    }
    const bool opened = gtk_init_check(nullptr, nullptr);
    if (!glChosen) {
        g_unsetenv("GDK_GL");
    }
    if (!opened) {
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
