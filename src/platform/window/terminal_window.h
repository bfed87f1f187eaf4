#pragma once

#include "platform/window/download_window.h"

#include <cstdio>
#include <memory>

namespace qz {
struct Settings;
}

namespace qz::platform {

struct TerminalWindowOptions {
    std::FILE* stream = stderr;
    bool interactive = false;  // redraw one line in place
    bool colour = false;       // red failures
    bool escapes = true;       // erase with escape sequences; without, with blanks (TERM=dumb)
    bool handleSignals = true; // SIGINT, SIGTERM and SIGHUP close the window
};

// As fit for `stream`: interactive on a terminal, escape sequences unless the terminal is dumb,
// and colour with both, unless the settings say no colour.
TerminalWindowOptions terminalWindowOptionsFor(std::FILE* stream, const Settings& settings);

// The download window drawn on a terminal (or plain lines when the stream is not one).
std::unique_ptr<DownloadWindow> makeTerminalWindow(EventLoop& loop, TerminalWindowOptions options);

} // namespace qz::platform
