#include "download/download_controller.h"

#include "bootstrap/installer_constants.h"
#include "bootstrap/message_reporter.h"
#include "download/download_entry.h"
#include "platform/main_bundle.h"
#include "platform/path.h"
#include "platform/remove_item.h"
#include "platform/system_log.h"
#include "platform/temporary_directory.h"
#include "process/unzip.h"
#include "provisioning/install_agent_locations.h"
#include "provisioning/validation_string.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <vector>

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

// Work directories beside the cache's install agent; a killed run may leave them behind.
const std::string UNPACK_SUFFIX = ".unpack-";
const std::string DISCARD_SUFFIX = ".old-";

// A new, empty directory named `target` + suffix + six unique characters.
std::string makeSiblingDirectory(const std::string& target, const std::string& suffix) {
    return platform::makeUniqueDirectory(target + suffix + "XXXXXX");
}

// Takes `directory` away in one step, so that no run ever sees it half removed, then deletes it.
void discardDirectory(const std::string& directory) {
    const std::string aside = makeSiblingDirectory(directory, DISCARD_SUFFIX);
    if (!aside.empty() && ::rename(directory.c_str(), aside.c_str()) == 0) {
        platform::removeItem(aside);
        return;
    }
    if (!aside.empty()) {
        platform::removeItem(aside);
    }
    platform::removeItem(directory);
}

// Removes what killed runs left beside the install agent. Only called with the cache locked.
void removeLeftovers(const std::string& cacheDir) {
    DIR* dir = ::opendir(cacheDir.c_str());
    if (dir == nullptr) {
        return;
    }
    std::vector<std::string> leftovers;
    const std::string unpack = INSTALL_AGENT_DIR + UNPACK_SUFFIX;
    const std::string discard = INSTALL_AGENT_DIR + DISCARD_SUFFIX;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.starts_with(unpack) || name.starts_with(discard)) {
            leftovers.push_back(cacheDir + name);
        }
    }
    ::closedir(dir);
    for (const auto& path : leftovers) {
        platform::removeItem(path);
    }
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
    : window_(window), settings_(std::move(settings)), installAgentLocation_(downloadTo) {
    window_.setDelegate(this);
    window_.setProgressValue(0);
}

Download::~Download() {
    window_.setDelegate(nullptr);
}

void Download::applicationDidFinishLaunching() {
    const auto bundle = platform::mainBundle();
    if (!bundle) {
        return;
    }
    const std::string splash = platform::appendPathComponent(bundle->resourcePath, "splash.png");
    if (exists(splash)) {
        window_.showSplashImage(splash);
        window_.displayIfNeeded();
    }
    acquireCacheThenDownload();
}

void Download::acquireCacheThenDownload() {
    lockRetry_ = 0;
    const std::string cacheDir = getInstallAgentCacheDir();
    // Without a usable lock file the cache is unusable too; the unpacking will say so.
    if (cacheLock_.tryAcquire(cacheDir + ".lock") == platform::FileLock::Result::Busy) {
        window_.setStatusText(WAITING_FOR_CACHE_STATUS);
        window_.setProgressIndeterminate(true);
        window_.startProgressAnimation();
        lockRetry_ = settings_.callLater(0.1, [this] { acquireCacheThenDownload(); });
        return;
    }
    if (cacheLock_.held()) {
        removeLeftovers(cacheDir);
    }
    window_.stopProgressAnimation();
    window_.setProgressIndeterminate(false);
    window_.setStatusText("");
    downloadFromURL(downloadFrom);
}

void Download::downloadFromURL(const std::string& url) {
    platform::UrlRequest request;
    request.url = url;
    request.timeoutInterval = settings_.timeoutInterval;
    // With an install agent in the cache, a server that still has the same archive can answer
    // 304 and send none of it.
    storedValidationString_.clear();
    if (!installAgentDirOnDisk().empty()) {
        storedValidationString_ = readValidationString(getInstallAgentCacheDir());
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
    if (theDownload_) {
        theDownload_->cancel();
    }
    settings_.stopApplication(agentReady_ ? RUN_AGENT_READY : RUN_NO_AGENT);
}

void Download::downloadDidReceiveResponse(const platform::UrlResponse& response) {
    // No ETag, or a response without header fields, gives the empty validation string, which
    // never matches and is never stored.
    validationString_ = response.headerField("ETag").value_or(std::string());
    fileLength_ = response.expectedContentLength;
    const bool notModified = response.statusCode == 304;
    if (notModified && validationString_.empty()) {
        validationString_ = storedValidationString_;
    }

    const std::string cacheDir = getInstallAgentCacheDir();
    const std::string agentDir = installAgentDirOnDisk();
    if (!agentDir.empty() && isCacheValid(cacheDir, validationString_)) {
        agentReady_ = true;
        window_.close();
        return;
    }
    if (notModified) {
        // Nothing to download and nothing current to start.
        theDownload_->cancel();
        downloadDidFailWithError({"The server answered 304 Not Modified for an install agent "
                                  "that is not in the cache.",
                                  response.url});
        return;
    }
    if (!agentDir.empty()) {
        discardDirectory(agentDir.substr(0, agentDir.size() - 1));
    }

    if (fileLength_ == -1) {
        window_.setProgressIndeterminate(true);
    } else {
        window_.setProgressMaximum(static_cast<double>(fileLength_));
        window_.setProgressIndeterminate(false);
        window_.setStatusText(downloadingStatus(0));
    }
    window_.startProgressAnimation();
}

void Download::downloadDidReceiveDataOfLength(std::uint64_t length) {
    bytesReceived_ += static_cast<std::int64_t>(length);
    if (fileLength_ == -1) {
        return;
    }
    const double percent =
        static_cast<double>(bytesReceived_) * 100.0 / static_cast<double>(fileLength_);
    window_.setStatusText(downloadingStatus(percent));
    window_.incrementProgressBy(static_cast<double>(length));
    window_.displayIfNeeded();
}

void Download::failure(const std::string& message, platform::TextColour colour) {
    window_.stopProgressAnimation();
    window_.setProgressIndeterminate(false);
    window_.setProgressValue(window_.progressMaximum());
    window_.setStatusText(message);
    window_.setStatusColour(colour);
}

void Download::downloadDidFailWithError(const platform::UrlError& error) {
    platform::systemLog("Download failed! Error - " + error.description + " " + error.failingURL);
    failure("Error during the download process.\nSee your system log for more information.",
            platform::TextColour::Red);
}

void Download::downloadDidFinish() {
    window_.setStatusText("Initializing the installer");
    window_.setProgressIndeterminate(true);
    window_.startProgressAnimation();
    window_.setCancelEnabled(false);
    window_.displayIfNeeded();
    handOver();
}

void Download::handOver() {
    const std::string archive = installAgentLocation_;
    const std::string cacheDir = getInstallAgentCacheDir();
    const std::string target = cacheDir + INSTALL_AGENT_DIR;

    // Unpack beside the cache's install agent and move it into place only when complete, and
    // only then record the validation string: an interrupted or failed unpack is never current.
    const std::string unpackDir = makeSiblingDirectory(target, UNPACK_SUFFIX);
    const bool unpacked = !unpackDir.empty() &&
                          unzipInstallAgent(archive, unpackDir, "unzip", report_message_main) &&
                          isUsableInstallAgent(getInstallAgentExecutable(unpackDir));
    bool inPlace = false;
    if (unpacked) {
        // The old string must not vouch for the new install agent, even for a moment.
        ::unlink((cacheDir + PATH_SEPARATOR + VALIDATION_STRING_FILE).c_str());
        if (exists(target)) {
            discardDirectory(target);
        }
        inPlace = ::rename(unpackDir.c_str(), target.c_str()) == 0;
    }
    if (!inPlace) {
        if (!unpackDir.empty()) {
            platform::removeItem(unpackDir);
        }
        failure("Failed to unzip the installer.", platform::TextColour::Red);
        return;
    }
    writeValidationString(cacheDir, validationString_);
    agentReady_ = true;
    window_.close();
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
