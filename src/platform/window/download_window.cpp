#include "platform/window/download_window.h"

#include "base/settings.h"
#include "platform/window/terminal_window.h"
#include "platform/window/window_throttle.h"

#ifdef QZ_HAVE_GTK
#include "platform/system/main_bundle.h"
#include "platform/window/deferred_window.h"
#include "platform/window/gtk_window.h"
#endif

namespace qz::platform {
namespace {

std::unique_ptr<DownloadWindow> makeFrontEnd(EventLoop& loop, const Settings& settings) {
    const TerminalWindowOptions terminal = terminalWindowOptionsFor(stderr, settings);
#ifdef QZ_HAVE_GTK
    // Loading GTK and opening the display cost more than a run that finds its cache current
    // takes in all, so the window is opened only once it has something to show.
    if (settings.display) {
        return makeDeferredWindow(loop, [&loop, terminal, bundle = mainBundle(settings)] {
            if (auto window = makeGtkWindow(loop, bundle ? installerTitle(bundle->resourcePath)
                                                         : std::string())) {
                return window;
            }
            return makeTerminalWindow(loop, terminal);
        });
    }
#endif
    return makeTerminalWindow(loop, terminal);
}

} // namespace

std::unique_ptr<DownloadWindow> makeDownloadWindow(EventLoop& loop, const Settings& settings) {
    return makeWindowThrottle(loop, makeFrontEnd(loop, settings));
}

} // namespace qz::platform
