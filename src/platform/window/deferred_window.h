#pragma once

#include "platform/window/download_window.h"

#include <functional>
#include <memory>

namespace qz::platform {

// Stands in for a window that is costly to open: it keeps the last state and opens the real
// window only once there is something to show (a download under way, a status, a failure, or a
// server slow to answer). A run that ends before then, such as one that finds its cache
// current, never opens it. Until then SIGINT, SIGTERM and SIGHUP close it.
std::unique_ptr<DownloadWindow>
makeDeferredWindow(EventLoop& loop, std::function<std::unique_ptr<DownloadWindow>()> open,
                   double patienceSeconds = 0.3);

} // namespace qz::platform
