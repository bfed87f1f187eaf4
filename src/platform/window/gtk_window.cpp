// The GTK module's window, which makeGtkWindow loads from inside the program; it has its own
// copy of the C++ runtime, so only virtual calls and plain data cross to the program.
#include "platform/window/download_window.h"

#include "base/translation.h"
#include "platform/window/glib_loop_driver.h"
#include "platform/window/gtk_window_widgets.h"

#include <algorithm>
#include <gtk/gtk.h>
#include <memory>
#include <string>

namespace qz::platform {
namespace {

constexpr guint PULSE_INTERVAL_MS = 100;

bool somethingToShow(const WindowState& state) {
    return state.activity != Activity::Starting || !state.status.empty();
}

// All of it runs on the main thread, from the main loop: GTK is never used from another one.
// States come already coalesced, so each is pushed to the widgets as it comes; GTK draws them in
// its next frame. Only the bar's pulse has a timer: it is animation, not progress.
class GtkDownloadWindow : public DownloadWindow {
  public:
    // Runs `loop` from GLib's main loop while it lives; the signals that close the window are
    // the loop's to catch.
    GtkDownloadWindow(LoopBridge* loop, const char* title) {
        if (loop != nullptr) {
            driver_ = std::make_unique<GlibLoopDriver>(*loop);
        }
        build(title);
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

    void show(const WindowState& state) override {
        if (closed_ || window_ == nullptr) {
            return;
        }
        wanted_ = state;
        if (wanted_.splashImage != shownSplash_) {
            shownSplash_ = wanted_.splashImage;
            showSplashImage();
        }
        if (presented_) {
            push();
        } else if (somethingToShow(wanted_)) {
            present();
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
    void build(const char* title) {
        const DownloadWindowWidgets widgets = buildDownloadWindowWidgets(title);
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

    void showSplashImage() {
        GdkPixbuf* pixbuf = loadSplashImage(shownSplash_);
        if (pixbuf == nullptr) {
            return;
        }
        gtk_image_set_from_pixbuf(GTK_IMAGE(image_), pixbuf);
        g_object_unref(pixbuf);
        gtk_widget_show(image_);
    }

    void present() {
        if (presented_ || closed_ || window_ == nullptr) {
            return;
        }
        presented_ = true;
        removeSource(presentSource_);
        push();
        gtk_window_present(GTK_WINDOW(window_));
    }

    // Copies the wanted state into the widgets, touching only what changed.
    void push() {
        if (window_ == nullptr) {
            return;
        }
        const std::string markup = statusMarkup(wanted_.status, wanted_.colour == TextColour::Red);
        if (markup != shownMarkup_) {
            gtk_label_set_markup(GTK_LABEL(label_), markup.c_str());
            shownMarkup_ = markup;
            if (wanted_.activity == Activity::Failed && !announcedFailure_) {
                announcedFailure_ = true;
                announceFailure(label_);
            }
        }
        pushBar();

        // After a failure nothing is left to cancel: an enabled button only closes the window. One
        // disabled at the hand-off stays so; the close box and Escape still close the window.
        if (wanted_.activity == Activity::Failed && wanted_.cancelEnabled && !shownClose_) {
            shownClose_ = true;
            gtk_button_set_label(GTK_BUTTON(cancel_), _("_Close"));
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

    void pushBar() {
        const ProgressBar& bar = wanted_.bar;
        if (bar.indeterminate) {
            if (!shownIndeterminate_) {
                shownIndeterminate_ = true;
                gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar_), 0.0);
                if (bar.animating) {
                    gtk_progress_bar_pulse(GTK_PROGRESS_BAR(bar_));
                }
            }
        } else {
            const double maximum = bar.maximum.value_or(DEFAULT_BAR_MAXIMUM);
            const double fraction = maximum > 0 ? std::clamp(bar.value / maximum, 0.0, 1.0) : 0.0;
            if (shownIndeterminate_ || fraction != shownFraction_) {
                gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar_), fraction);
                shownIndeterminate_ = false;
                shownFraction_ = fraction;
            }
        }
        const bool pulsing = bar.indeterminate && bar.animating;
        if (pulsing && pulseSource_ == 0) {
            pulseSource_ = g_timeout_add(PULSE_INTERVAL_MS, &GtkDownloadWindow::onPulse, this);
        } else if (!pulsing) {
            removeSource(pulseSource_);
        }
    }

    static gboolean onPulse(gpointer data) {
        auto* self = static_cast<GtkDownloadWindow*>(data);
        gtk_progress_bar_pulse(GTK_PROGRESS_BAR(self->bar_));
        return G_SOURCE_CONTINUE;
    }

    static void removeSource(guint& source) {
        if (source != 0) {
            g_source_remove(source);
            source = 0;
        }
    }

    void removeSources() {
        removeSource(pulseSource_);
        removeSource(presentSource_);
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
    std::unique_ptr<GlibLoopDriver> driver_;
    guint pulseSource_ = 0;
    guint presentSource_ = 0;

    WindowState wanted_;
    std::string shownSplash_;
    std::string shownMarkup_;
    bool shownIndeterminate_ = false;
    double shownFraction_ = -1;
    bool shownClose_ = false;
    bool announcedFailure_ = false;
    bool presented_ = false;
    bool closed_ = false;
    bool nativeWindowGone_ = false;
};

} // namespace

} // namespace qz::platform

// The entry point of this loadable module: the window, which runs `loop` from GLib's main loop
// from now on, or nullptr when no display can be opened; `title` (UTF-8, or nullptr for the
// window's own) is the installer's.
extern "C" __attribute__((visibility("default"))) qz::platform::DownloadWindow*
qz_make_gtk_window(qz::platform::LoopBridge* loop, const char* title) {
    if (!qz::platform::startGtk(loop)) {
        return nullptr;
    }
    return new qz::platform::GtkDownloadWindow(loop, title);
}
