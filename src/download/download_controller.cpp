#include "download/download_controller.h"

#include "bootstrap/installer_constants.h"
#include "bootstrap/message_reporter.h"
#include "download/download_entry.h"
#include "platform/path.h"
#include "platform/remove_item.h"
#include "platform/system_log.h"
#include "process/unzip.h"
#include "provisioning/install_agent_locations.h"
#include "provisioning/validation_string.h"

#include <cstdio>
#include <sys/stat.h>

namespace qz {
namespace {

class UrlTransferAdapter : public Transfer {
  public:
    UrlTransferAdapter(const platform::UrlRequest& request, const std::string& destination,
                       platform::UrlTransferDelegate& delegate)
        : transfer_(request, delegate) {
        transfer_.setDeletesFileUponFailure(true);
        transfer_.setDestination(destination, true);
    }
    void cancel() override {
        transfer_.cancel();
    }

  private:
    platform::UrlTransfer transfer_;
};

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

} // namespace

TransferFactory urlTransferFactory() {
    return [](const platform::UrlRequest& request, const std::string& destination,
              platform::UrlTransferDelegate& delegate) -> std::unique_ptr<Transfer> {
        return std::make_unique<UrlTransferAdapter>(request, destination, delegate);
    };
}

std::string downloadingStatus(double percent) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%3.0f%%", percent);
    return "Downloading " + std::string(buffer);
}

Download::Download(platform::DownloadWindow& window, DownloadSettings settings)
    : window_(&window), settings_(std::move(settings)), installAgentLocation_(downloadTo),
      cache_(getInstallAgentCacheDir()) {
    privateRun_ = !cache_.trustProblem().empty();
    window_->setDelegate(this);
    showState();
}

Download::~Download() {
    if (window_ != nullptr) {
        window_->setDelegate(nullptr);
    }
}

void Download::setWindow(platform::DownloadWindow* window) {
    if (window_ != nullptr) {
        window_->setDelegate(nullptr);
    }
    window_ = window;
    if (window_ != nullptr) {
        window_->setDelegate(this);
    }
}

void Download::applicationDidFinishLaunching() {
    const auto bundle = settings_.mainBundle();
    if (!bundle) {
        // Nothing more happens until the user closes the window; in a front end that no one can
        // close, that would be a run without end.
        if (window_ != nullptr && !window_->closableByUser()) {
            failure(NO_BUNDLE_STATUS, platform::TextColour::Red);
        }
        return;
    }
    const std::string splash = platform::appendPathComponent(bundle->resourcePath, "splash.png");
    if (exists(splash)) {
        state_.splashImage = splash;
        showState();
    }
    acquireCacheThenDownload();
}

void Download::acquireCacheThenDownload() {
    using Lock = InstallAgentCache::Lock;
    lockRetry_ = 0;
    // Sharing is enough to find the cached agent current; a cache without one will be written.
    const Lock::Mode mode = mustHoldAlone_ || installAgentDirOnDisk().empty()
                                ? Lock::Mode::Exclusive
                                : Lock::Mode::Shared;
    // Without a usable lock file the cache is unusable too; the unpacking will say so.
    const auto locked = privateRun_ ? Result<bool>(true) : cache_.lock(mode);
    if (locked && !*locked) {
        state_.activity = platform::Activity::Waiting;
        state_.status = WAITING_FOR_CACHE_STATUS;
        state_.bar.indeterminate = true;
        state_.bar.animating = true;
        showState();
        lockRetry_ = settings_.callLater(0.1, [this] { acquireCacheThenDownload(); });
        return;
    }
    if (cache_.locked()) {
        cache_.removeLeftovers();
    }
    state_.activity = platform::Activity::Starting;
    state_.bar.animating = false;
    state_.bar.indeterminate = false;
    state_.status.clear();
    showState();
    downloadFromURL(downloadFrom);
}

void Download::downloadFromURL(const std::string& url) {
    platform::UrlRequest request;
    request.url = url;
    request.timeoutInterval = settings_.timeoutInterval;
    request.caFile = settings_.caFile;
    // With an install agent in the cache, a server that still has the same archive can answer
    // 304 and send none of it.
    storedValidationString_.clear();
    if (!privateRun_ && !installAgentDirOnDisk().empty()) {
        storedValidationString_ = cache_.storedValidationString();
        if (!storedValidationString_.empty()) {
            request.extraHeaders.push_back({"If-None-Match", storedValidationString_});
        }
    }
    theDownload_ = settings_.makeTransfer(request, installAgentLocation_, *this);
}

void Download::windowWillClose() {
    if (closed_) {
        return;
    }
    closed_ = true;
    if (lockRetry_ != 0) {
        settings_.cancelCall(lockRetry_);
        lockRetry_ = 0;
    }
    cancelTransfer();
    if (!unpacking_) {
        stop();
    }
}

void Download::cancelTransfer() {
    if (theDownload_) {
        theDownload_->cancel();
    }
}

void Download::stop() {
    if (agentReady_) {
        cache_.keepSharedUntilExit();
    } else {
        cache_.unlock();
    }
    settings_.stopApplication(agentReady_ ? RUN_AGENT_READY : RUN_NO_AGENT);
}

void Download::downloadDidReceiveResponse(const platform::UrlResponse& response) {
    // No ETag, one that could not be sent back safely, or a response without header fields give
    // the empty validation string, which never matches and is never stored.
    validationString_ = response.headerField("ETag").value_or(std::string());
    if (!isUsableValidationString(validationString_)) {
        validationString_.clear();
    }
    fileLength_ = response.expectedContentLength;
    const bool notModified = response.statusCode == 304;
    if (notModified && validationString_.empty()) {
        validationString_ = storedValidationString_;
    }

    const std::string cacheDir = getInstallAgentCacheDir();
    const std::string agentDir = privateRun_ ? std::string() : installAgentDirOnDisk();
    if (!agentDir.empty() && isCacheValid(cacheDir, validationString_)) {
        agentReady_ = true;
        closeWindow();
        return;
    }
    if (notModified) {
        // Nothing to download and nothing current to start.
        cancelTransfer();
        downloadDidFailWithError({"The server answered 304 Not Modified for an install agent "
                                  "that is not in the cache.",
                                  response.url});
        return;
    }
    if (!holdCacheAlone()) {
        return;
    }
    if (!agentDir.empty()) {
        // Whatever resists goes when the new install agent is moved into place.
        static_cast<void>(cache_.discardAgent());
    }

    state_.activity = platform::Activity::Transferring;
    if (fileLength_ == -1) {
        state_.bar.indeterminate = true;
    } else {
        state_.bar.maximum = static_cast<double>(fileLength_);
        state_.bar.indeterminate = false;
        state_.status = downloadingStatus(0);
    }
    state_.bar.animating = true;
    showState();
}

bool Download::holdCacheAlone() {
    using Lock = InstallAgentCache::Lock;
    if (privateRun_ || !cache_.locked()) {
        return true;
    }
    if (const auto alone = cache_.lock(Lock::Mode::Exclusive); !alone || *alone) {
        return true;
    }
    // Another run is using the cache, perhaps running its install agent: wait until it is ours
    // alone, then ask the server again, since the cache may have changed meanwhile.
    cancelTransfer();
    cache_.unlock();
    validationString_.clear();
    fileLength_ = 0;
    mustHoldAlone_ = true;
    acquireCacheThenDownload();
    return false;
}

void Download::downloadDidReceiveDataOfLength(std::uint64_t length) {
    bytesReceived_ += static_cast<std::int64_t>(length);
    if (fileLength_ == -1) {
        showState(); // the bytes alone, for a front end that shows them
        return;
    }
    const double percent =
        static_cast<double>(bytesReceived_) * 100.0 / static_cast<double>(fileLength_);
    state_.status = downloadingStatus(percent);
    state_.bar.value += static_cast<double>(length);
    showState();
}

void Download::failure(const std::string& message, platform::TextColour colour) {
    // Nothing more will be done with the cache; other runs need not wait for this window.
    cache_.unlock();
    state_.activity = platform::Activity::Failed;
    state_.bar.animating = false;
    state_.bar.indeterminate = false;
    state_.bar.value = state_.bar.maximum.value_or(platform::DEFAULT_BAR_MAXIMUM);
    state_.status = message;
    state_.colour = colour;
    showState();
}

void Download::downloadDidFailWithError(const platform::UrlError& error) {
    platform::systemLog("Download failed! Error - " + error.description + " " + error.failingURL);
    failure("Error during the download process.\nSee your system log for more information.",
            platform::TextColour::Red);
}

void Download::downloadDidFinish() {
    state_.activity = platform::Activity::HandingOver;
    state_.status = "Initializing the installer";
    state_.bar.indeterminate = true;
    state_.bar.animating = true;
    state_.cancelEnabled = false;
    // Shown before the unpacking starts; the window then goes on animating by itself.
    showState();
    handOver();
}

void Download::handOver() {
    if (privateRun_) {
        // The caller unpacks the archive into the run's own scratch directory.
        agentReady_ = true;
        closeWindow();
        return;
    }
    // Unpacked beside the cache's install agent and moved into place only when complete, so an
    // interrupted or failed unpack is never current. The loop goes on meanwhile, so the window
    // stays alive and a close or a signal is heard.
    const auto made = cache_.makeUnpackDirectory();
    if (!made) {
        platform::systemLog(made.reason());
        finishHandOver(std::string(), false);
        return;
    }
    const std::string unpackDir = *made;
    unpacking_ = true;
    const std::string archive = installAgentLocation_;
    settings_.runInBackground(
        [archive, unpackDir] {
            return unzipInstallAgent(archive, unpackDir, "unzip", report_message_main) &&
                   isUsableInstallAgent(getInstallAgentExecutable(unpackDir));
        },
        [this, unpackDir](bool unpacked) {
            unpacking_ = false;
            finishHandOver(unpackDir, unpacked);
        });
}

void Download::finishHandOver(const std::string& unpackDir, bool unpacked) {
    bool inPlace = false;
    if (unpacked) {
        const auto installed = cache_.install(unpackDir, validationString_);
        if (!installed) {
            platform::systemLog(installed.reason());
        }
        inPlace = static_cast<bool>(installed);
    }
    if (!inPlace && !unpackDir.empty()) {
        // What resists is a leftover that the next run removes.
        static_cast<void>(platform::removeItem(unpackDir));
    }
    if (closed_) {
        // Closed while unpacking: the run is cancelled, though a complete agent stays cached.
        stop();
        return;
    }
    if (!inPlace) {
        failure("Failed to unzip the installer.", platform::TextColour::Red);
        return;
    }
    agentReady_ = true;
    closeWindow();
}

void Download::showState() {
    state_.bytesReceived = bytesReceived_;
    if (window_ != nullptr) {
        window_->show(state_);
    }
}

void Download::closeWindow() {
    // The window tells us it closes; without one, we close ourselves.
    if (window_ != nullptr) {
        window_->close();
    } else {
        windowWillClose();
    }
}

void Download::transferDidReceiveResponse(const platform::UrlResponse& response) {
    downloadDidReceiveResponse(response);
}

void Download::transferDidReceiveData(std::uint64_t length) {
    downloadDidReceiveDataOfLength(length);
}

void Download::transferDidFinish() {
    downloadDidFinish();
}

void Download::transferDidFail(const platform::UrlError& error) {
    downloadDidFailWithError(error);
}

} // namespace qz
