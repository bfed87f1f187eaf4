#include "platform/gtk_window.h"

#include "platform/close_on_signals.h"
#include "platform/gtk_window_widgets.h"

#include <algorithm>
#include <gtk/gtk.h>
#include <string>

namespace qz::platform {
namespace {

// Widgets get the state from a timer, not from each data block, and never more than 24 times a
// second whoever asks, which leaves room for GTK's own frames within 30 a second.
constexpr guint TICK_MS = 20;
constexpr gint64 MIN_PUSH_INTERVAL_US = G_USEC_PER_SEC / 24;
constexpr gint64 PULSE_INTERVAL_US = G_USEC_PER_SEC / 10;

bool isProgressText(const std::string& text) {
    return text.rfind("Downloading ", 0) == 0;
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
        if (GdkDisplay* display = gdk_display_get_default()) {
            gdk_display_flush(display);
        }
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
        GdkPixbuf* pixbuf = loadSplashImage(path);
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
        if (GdkDisplay* display = gdk_display_get_default()) {
            gdk_display_sync(display);
        }
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
        const DownloadWindowWidgets widgets = buildDownloadWindowWidgets();
        window_ = widgets.window;
        image_ = widgets.image;
        bar_ = widgets.bar;
        label_ = widgets.label;
        cancel_ = widgets.cancel;
        g_signal_connect(window_, "delete-event", G_CALLBACK(&GtkDownloadWindow::onDelete), this);
        g_signal_connect(window_, "destroy-event", G_CALLBACK(&GtkDownloadWindow::onDestroyEvent),
                         this);
        g_signal_connect(window_, "destroy", G_CALLBACK(&GtkDownloadWindow::onDestroy), this);
        g_signal_connect(window_, "key-press-event", G_CALLBACK(&GtkDownloadWindow::onKey), this);
        g_signal_connect(cancel_, "clicked", G_CALLBACK(&GtkDownloadWindow::onCancel), this);
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
        const std::string markup = statusMarkup(wanted_.status, red);
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

} // namespace

} // namespace qz::platform

// The entry point of this loadable module: the window, or nullptr when no display can be opened.
extern "C" __attribute__((visibility("default"))) qz::platform::DownloadWindow*
qz_make_gtk_window() {
    if (!qz::platform::startGtk()) {
        return nullptr;
    }
    return new qz::platform::GtkDownloadWindow();
}
