#pragma once

#include "platform/download_window.h"

#include <memory>

namespace qz::platform {

class EventLoop;

// The download window as a small GTK 3 dialog; nullptr without a display, or when GTK cannot be
// loaded. GTK is loaded only then, so a run without a display never pays for it.
std::unique_ptr<DownloadWindow> makeGtkWindow(EventLoop& loop);

// Whether DISPLAY or WAYLAND_DISPLAY names a display.
bool displayAvailable();

} // namespace qz::platform
