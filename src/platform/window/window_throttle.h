#pragma once

#include "platform/window/download_window.h"

#include <memory>

namespace qz::platform {

class EventLoop;

// How often progress alone reaches a front end: often enough to look smooth, seldom enough that
// drawing never slows the transfer and leaves room for the toolkit's own frames.
inline constexpr double PROGRESS_SHOWS_PER_SECOND = 20;

// Passes the states shown to it on to `window`. A change the user must see at once (activity,
// colour, cancel button, the bar's kind, animation or total, splash image) goes through at once,
// after any progress still held back; progress alone (the bar's value, the bytes, the status text
// within one activity) at most `perSecond` times a second, the latest always delivered.
std::unique_ptr<DownloadWindow> makeWindowThrottle(EventLoop& loop,
                                                   std::unique_ptr<DownloadWindow> window,
                                                   double perSecond = PROGRESS_SHOWS_PER_SECOND);

} // namespace qz::platform
