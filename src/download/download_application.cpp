#include "download/download_application.h"

#include "download/download_controller.h"
#include "platform/system/event_loop.h"
#include "platform/window/download_window.h"

#include "base/settings.h"

namespace qz {

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

} // namespace qz
