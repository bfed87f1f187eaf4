#pragma once

#include "platform/window/download_window.h"

#include <memory>
#include <string>

namespace qz::platform {

class EventLoop;

// The download window as a small GTK 3 dialog; nullptr when GTK cannot be loaded (the reason goes
// to the system log) or no display can be opened. GTK is loaded only by this call, so a run that
// never asks for the window never pays for it. An empty `title` keeps the window's own.
std::unique_ptr<DownloadWindow> makeGtkWindow(EventLoop& loop, const std::string& title = {});

} // namespace qz::platform
