#pragma once

#include "platform/download_window.h"

#include <memory>

namespace qz::platform {

class EventLoop;

// The download window as a small GTK 3 dialog; nullptr when no display can be opened.
std::unique_ptr<DownloadWindow> makeGtkWindow(EventLoop& loop);

} // namespace qz::platform
