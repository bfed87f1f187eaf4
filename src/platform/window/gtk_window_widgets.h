#pragma once

// The parts of the GTK window that need no state of its own; inside the GTK module only.

#include "platform/system/loop_bridge.h"

#include <gtk/gtk.h>
#include <string>

namespace qz::platform {

struct DownloadWindowWidgets {
    GtkWidget* window = nullptr;
    GtkWidget* image = nullptr; // hidden until it has a splash image
    GtkWidget* bar = nullptr;
    GtkWidget* label = nullptr;
    GtkWidget* cancel = nullptr; // the window's default, so that Return presses it
};

// The dialog with its widgets laid out, the window itself not yet shown; titled `title` when it
// is UTF-8, otherwise with its own title.
DownloadWindowWidgets buildDownloadWindowWidgets(const char* title = nullptr);

// The image at `path`, scaled proportionally, up or down, to fit 400 by 400; nullptr when it
// cannot be read.
GdkPixbuf* loadSplashImage(const std::string& path);

// Markup for the status field: the status's first two lines (a transfer failure has two), in
// red for a failure.
std::string statusMarkup(const std::string& status, bool red);

// Has screen readers read out the status line, now a failure, at once, the way a web page's
// alert is; it stays a label.
void announceFailure(GtkWidget* label);

// Opens GTK on the default display; false when there is none.
bool startGtk(LoopBridge* loop);

} // namespace qz::platform
