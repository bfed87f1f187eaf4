#pragma once

#include "platform/download_window.h"

#include <cstdio>
#include <memory>

namespace qz::platform {

struct TerminalWindowOptions {
    std::FILE* stream = stderr;
    bool interactive = false;  // redraw one line in place
    bool colour = false;       // red failures
    bool handleSignals = true; // SIGINT, SIGTERM and SIGHUP close the window
};

// Interactive and colour as fit for standard error: a terminal, and NO_COLOR not set.
TerminalWindowOptions terminalWindowOptionsForStderr();

// The download window drawn on a terminal (or plain lines when the stream is not one).
std::unique_ptr<DownloadWindow> makeTerminalWindow(EventLoop& loop, TerminalWindowOptions options);

} // namespace qz::platform
