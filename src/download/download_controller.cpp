#include "download/download_controller.h"

#include "bootstrap/installer_constants.h"
#include "bootstrap/message_reporter.h"
#include "download/download_entry.h"
#include "platform/main_bundle.h"
#include "platform/path.h"
#include "platform/remove_item.h"
#include "platform/system_log.h"
#include "process/unzip.h"
#include "provisioning/install_agent_locations.h"
#include "provisioning/validation_string.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

// A new, empty directory beside `target`, for unpacking before anything is taken as current.
std::string makeUnpackDirectory(const std::string& target) {
    std::string pattern = target + ".unpack-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        return std::string();
    }
    return std::string(buffer.data(), pattern.size());
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
    downloadFromURL(downloadFrom);
}

void Download::downloadFromURL(const std::string& url) {
    platform::UrlRequest request;
    request.url = url;
    request.timeoutInterval = settings_.timeoutInterval;
    theDownload_ = settings_.makeTransfer(request, installAgentLocation_, *this);
}

void Download::windowWillClose() {
    if (closed_) {
        return;
    }
    closed_ = true;
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

    const std::string cacheDir = getInstallAgentCacheDir();
    const std::string agentDir = installAgentDirOnDisk();
    if (!agentDir.empty() && isCacheValid(cacheDir, validationString_)) {
        agentReady_ = true;
        window_.close();
        return;
    }
    if (!agentDir.empty()) {
        platform::removeItem(agentDir);
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
    const std::string unpackDir = makeUnpackDirectory(target);
    const bool unpacked = !unpackDir.empty() &&
                          unzipInstallAgent(archive, unpackDir, "unzip", report_message_main) &&
                          exists(getInstallAgentExecutable(unpackDir));
    bool inPlace = false;
    if (unpacked) {
        platform::removeItem(target);
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
