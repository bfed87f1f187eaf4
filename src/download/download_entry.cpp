// The download window's entry: the hand-off globals, and the application run behind them.
#include "download/download_entry.h"

#include "base/settings.h"
#include "download/download_controller.h"
#include "platform/system/event_loop.h"
#include "platform/window/download_window.h"

#include <cstdlib>

namespace qz {

std::string downloadTo;
std::string downloadFrom;
char** EMPTY_ARGV = nullptr;
bool installAgentInCache = false;

namespace {

// The download application: one window, one controller, one event loop run. Returns the run's
// status (non-zero when the cache's install agent is ready).
int runDownloadApplication(int /*argc*/, char** /*argv*/, const Settings& run) {
    platform::EventLoop loop;
    const auto window = platform::makeDownloadWindow(loop, run);
    DownloadSettings settings;
    settings.stopApplication = [&loop](int status) { loop.stop(status); };
    settings.makeTransfer = urlTransferFactory(loop);
    settings.fetchSignature = signatureFileFetcher(loop);
    settings.callLater = [&loop](double seconds, std::function<void()> fn) {
        return loop.callLater(seconds, std::move(fn));
    };
    settings.cancelCall = [&loop](unsigned id) { loop.cancelCall(id); };
    settings.runInBackground = [&loop](std::function<bool()> work, std::function<void(bool)> done) {
        loop.runInBackground(std::move(work), std::move(done));
    };
    settings.timeoutInterval = run.downloadTimeout;
    settings.caFile = run.caFile;
    settings.caDirectory = run.caDirectory;
    settings.mainBundle = [bundle = platform::mainBundle(run)] { return bundle; };
    settings.run = run;
    Download controller(*window, std::move(settings));
    loop.callLater(0, [&controller] { controller.applicationDidFinishLaunching(); });
    return loop.run();
}

} // namespace

int CallNSApplicationMain(int /*argc*/, char** /*argv*/, const Settings& settings) {
    return runDownloadApplication(0, EMPTY_ARGV, settings);
}

bool downloadInstallAgentFromQZ(const char* destination, const char* url,
                                MessageReporter /*reporter*/, const Settings& settings) {
    std::string chosen = url;
    if (const char* override = std::getenv("QZ_INTERNAL_INSTALL_AGENT_URL")) {
        chosen = override;
    }
    downloadTo = destination;
    downloadFrom = chosen;
    installAgentInCache = false;
    return CallNSApplicationMain(0, EMPTY_ARGV, settings) != 0;
}

} // namespace qz
