#include "platform/window/gtk_window_widgets.h"

#include "base/translation.h"

#ifdef GDK_WINDOWING_X11
#include <dlfcn.h>
#include <gdk/gdkx.h>
#include <syslog.h>
#endif

namespace qz::platform {
namespace {

constexpr const char* TITLE = N_("Velmor Installer");
constexpr int SPLASH_LIMIT = 400;
constexpr int CONTENT_WIDTH = 400;
constexpr char ERROR_COLOUR[] = "#c01c28";
// Room for a failure's reason, wrapped; a longer one is ellipsised at its end.
constexpr int STATUS_LINES = 4;

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

// A field of STATUS_LINES lines at the width it is given: a longer text wraps (between words, or
// inside a long path or URL), and only past the last line is it ellipsised. Its height is the
// same whatever the text, so the window never changes size.
GtkWidget* makeStatusField() {
    GtkWidget* label = gtk_label_new(nullptr);
    gtk_label_set_xalign(GTK_LABEL(label), 0.0F);
    gtk_label_set_yalign(GTK_LABEL(label), 0.0F);
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
    gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
    gtk_label_set_lines(GTK_LABEL(label), STATUS_LINES);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 1);
    std::string lines = "Xg";
    for (int line = 1; line < STATUS_LINES; ++line) {
        lines += "\nXg";
    }
    PangoLayout* layout = gtk_widget_create_pango_layout(label, lines.c_str());
    int height = 0;
    pango_layout_get_pixel_size(layout, nullptr, &height);
    g_object_unref(layout);
    gtk_widget_set_size_request(label, -1, height);
    return label;
}

// What a screen reader says of the window: the bar by name, with the status line as its
// description; the splash image not at all, since the title already names the product.
void describeForAssistiveTechnologies(const DownloadWindowWidgets& w) {
    AtkObject* bar = gtk_widget_get_accessible(w.bar);
    atk_object_set_name(bar, _("Download progress"));
    AtkObject* status = gtk_widget_get_accessible(w.label);
    atk_object_add_relationship(bar, ATK_RELATION_DESCRIBED_BY, status);
    atk_object_add_relationship(status, ATK_RELATION_DESCRIPTION_FOR, bar);
    atk_object_set_role(gtk_widget_get_accessible(w.image), ATK_ROLE_REDUNDANT_OBJECT);
}

} // namespace

DownloadWindowWidgets buildDownloadWindowWidgets(const char* title) {
    DownloadWindowWidgets w;
    w.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWindow* window = GTK_WINDOW(w.window);
    const bool ownTitle = title != nullptr && g_utf8_validate(title, -1, nullptr);
    gtk_window_set_title(window, ownTitle ? title : _(TITLE));
    gtk_window_set_resizable(window, FALSE);
    gtk_window_set_position(window, GTK_WIN_POS_CENTER);
    gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_DIALOG);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    gtk_container_set_border_width(GTK_CONTAINER(box), 18);
    gtk_container_add(GTK_CONTAINER(w.window), box);

    w.image = gtk_image_new();
    gtk_widget_set_halign(w.image, GTK_ALIGN_CENTER);
    gtk_box_pack_start(GTK_BOX(box), w.image, FALSE, FALSE, 0);

    w.bar = gtk_progress_bar_new();
    gtk_widget_set_size_request(w.bar, CONTENT_WIDTH, -1);
    gtk_widget_set_margin_top(w.bar, 6);
    gtk_box_pack_start(GTK_BOX(box), w.bar, FALSE, FALSE, 0);

    w.label = makeStatusField();
    gtk_box_pack_start(GTK_BOX(box), w.label, FALSE, FALSE, 0);

    GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
    gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
    // TRANSLATORS: the underscore marks the key that presses the button with Alt.
    w.cancel = gtk_button_new_with_mnemonic(_("_Cancel"));
    gtk_container_add(GTK_CONTAINER(buttons), w.cancel);
    gtk_box_pack_end(GTK_BOX(box), buttons, FALSE, FALSE, 0);

    describeForAssistiveTechnologies(w);

    gtk_widget_show_all(box);
    gtk_widget_hide(w.image);
    // Only a widget inside a window can become its default.
    gtk_widget_set_can_default(w.cancel, TRUE);
    gtk_widget_grab_default(w.cancel);
    gtk_widget_grab_focus(w.cancel);
    return w;
}

GdkPixbuf* loadSplashImage(const std::string& path) {
    int width = 0;
    int height = 0;
    if (gdk_pixbuf_get_file_info(path.c_str(), &width, &height) == nullptr) {
        return nullptr;
    }
    GError* error = nullptr;
    GdkPixbuf* pixbuf =
        gdk_pixbuf_new_from_file_at_scale(path.c_str(), SPLASH_LIMIT, SPLASH_LIMIT, TRUE, &error);
    if (error != nullptr) {
        g_error_free(error);
    }
    return pixbuf;
}

std::string statusMarkup(const std::string& status, bool red) {
    gchar* valid = g_utf8_make_valid(firstLines(status, STATUS_LINES).c_str(), -1);
    gchar* escaped = g_markup_escape_text(valid, -1);
    std::string markup =
        red ? std::string("<span foreground=\"") + ERROR_COLOUR + "\">" + escaped + "</span>"
            : std::string(escaped);
    g_free(escaped);
    g_free(valid);
    return markup;
}

void announceFailure(GtkWidget* label) {
    // The status stays a label in the tree; screen readers speak an announcement as it comes,
    // whatever has the focus. The signal is ATK's; the bridge passes it on over AT-SPI.
    AtkObject* status = gtk_widget_get_accessible(label);
    if (g_signal_lookup("announcement", G_OBJECT_TYPE(status)) != 0) {
        g_signal_emit_by_name(status, "announcement", gtk_label_get_text(GTK_LABEL(label)));
    }
}

namespace {

// Xlib's handler of a lost connection takes no data of its own.
LoopBridge* loopOfTheLostDisplay = nullptr;

extern "C" int onDisplayLost(void* /*display*/) {
    loopOfTheLostDisplay->displayLost();
    return 0;
}

// GDK's own handler ends the program with status 1, saying nothing and leaving the scratch
// directory: the run's own ending serves instead. Xlib is GDK's, looked up where GDK loaded it.
void endTheRunWhenTheDisplayIsLost(LoopBridge* loop) {
    void* xlib = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_NOLOAD);
    using Handler = int (*)(void*);
    using SetHandler = Handler (*)(Handler);
    if (xlib != nullptr) {
        if (auto set = reinterpret_cast<SetHandler>(::dlsym(xlib, "XSetIOErrorHandler"))) {
            loopOfTheLostDisplay = loop;
            set(onDisplayLost);
        }
    }
}

// GLib's and GTK's own messages are for whoever keeps the machine, not for the user at the
// terminal: the system log gets them, in the form GLib gives them.
GLogWriterOutput toSystemLog(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer) {
    // As GLib's default writer does: debugging only when asked for.
    if ((level & (G_LOG_LEVEL_DEBUG | G_LOG_LEVEL_INFO)) != 0 &&
        g_getenv("G_MESSAGES_DEBUG") == nullptr) {
        return G_LOG_WRITER_HANDLED;
    }
    const int priority = (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL)) != 0 ? LOG_ERR
                         : (level & G_LOG_LEVEL_WARNING) != 0                      ? LOG_WARNING
                         : (level & G_LOG_LEVEL_MESSAGE) != 0                      ? LOG_NOTICE
                                                                                   : LOG_DEBUG;
    gchar* line = g_log_writer_format_fields(level, fields, count, FALSE);
    ::syslog(LOG_USER | priority, "%s", line);
    g_free(line);
    return G_LOG_WRITER_HANDLED;
}

// GLib takes one writer a process, and ends the program on a second; each copy of this module
// would set its own. GLib's table of names is the process's own.
void routeGlibMessagesToTheSystemLog() {
    constexpr const char* ROUTED = "qz-glib-messages-to-the-system-log";
    if (g_quark_try_string(ROUTED) == 0) {
        g_quark_from_static_string(ROUTED);
        g_log_set_writer_func(toSystemLog, nullptr, nullptr);
    }
}

} // namespace

bool startGtk(LoopBridge* loop) {
    routeGlibMessagesToTheSystemLog();
    // main chose the locale at start, before any thread ran; GTK's own setlocale would come
    // while threads run.
    gtk_disable_setlocale();
    // GDK_GL, set at start unless the user chose, keeps GDK from loading an OpenGL renderer that
    // takes a fifth of a second and 50 MiB; the window draws nothing with OpenGL.
    if (!gtk_init_check(nullptr, nullptr)) {
        return false;
    }
#ifdef GDK_WINDOWING_X11
    GdkDisplay* display = gdk_display_get_default();
    if (GDK_IS_X11_DISPLAY(display)) {
        // GDK ends the program on any X error, skipping all clean-up; one can come from drawing
        // while another client destroys the window. A trap that is never popped ignores them.
        gdk_x11_display_error_trap_push(display);
        endTheRunWhenTheDisplayIsLost(loop);
    }
#endif
    return true;
}

} // namespace qz::platform
