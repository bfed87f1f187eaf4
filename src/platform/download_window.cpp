#include "platform/download_window.h"

#include "platform/terminal_window.h"

#ifdef QZ_HAVE_GTK
#include "platform/gtk_window.h"
#endif

namespace qz::platform {

std::unique_ptr<DownloadWindow> makeDownloadWindow(EventLoop& loop) {
#ifdef QZ_HAVE_GTK
    if (auto window = makeGtkWindow(loop)) {
        return window;
    }
#endif
    return makeTerminalWindow(loop, terminalWindowOptionsForStderr());
}

} // namespace qz::platform
