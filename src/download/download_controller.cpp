#include "download/download_controller.h"

#include "base/path.h"
#include "bootstrap/message_reporter.h"
#include "download/download_entry.h"
#include "platform/system/system_log.h"
#include "provisioning/download_policy.h"
#include "provisioning/install_agent_locations.h"

#include <sys/stat.h>

namespace qz {
namespace {

// A FIFO or a device in its place would block the window that reads it.
bool isRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

Download::Download(platform::DownloadWindow& window, DownloadEnvironment& environment,
                   DownloadSettings settings)
    : window_(&window), environment_(environment), settings_(std::move(settings)),
      installAgentLocation_(downloadTo), cache_(getInstallAgentCacheDir()) {
    privateRun_ = !cache_.checkTrust();
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
    const auto bundle = environment_.mainBundle();
    if (!bundle) {
        // Nothing more happens until the user closes the window; in a front end that no one can
        // close, that would be a run without end.
        if (window_ != nullptr && !window_->closableByUser()) {
            failure(_(NO_BUNDLE_STATUS), platform::TextColour::Red);
        }
        return;
    }
    resilient_ = resilientDownloadIn(bundle->resourcePath);
    product_ = productOfInstaller(bundle->resourcePath);
    const std::string splash = platform::appendPathComponent(bundle->resourcePath, "splash.png");
    if (isRegularFile(splash)) {
        state_.splashImage = splash;
        showState();
    }
    auto keys = installAgentKeys(bundle->resourcePath);
    if (!keys) {
        refuse(keys.failure());
        return;
    }
    if (*keys) {
        keys_ = **keys;
        fetchSignatureThenDownload();
        return;
    }
    acquireCacheThenDownload();
}

void Download::acquireCacheThenDownload() {
    using Lock = InstallAgentCache::Lock;
    lockRetry_ = 0;
    // Sharing is enough to find the cached agent current; a cache without one will be written.
    const Lock::Mode mode = mustHoldAlone_ || cachedAgentDirectory().empty() ? Lock::Mode::Exclusive
                                                                             : Lock::Mode::Shared;
    const auto locked = privateRun_ ? Result<bool>(true) : cache_.lock(mode);
    if (!locked) {
        // A lock that cannot be taken is no lock: without it another run could replace the
        // agent under this one's, so this run does not use the cache at all.
        useNoCache(locked.failure());
        return;
    }
    if (!*locked) {
        state_.activity = platform::Activity::Waiting;
        state_.status = _(WAITING_FOR_CACHE_STATUS);
        state_.bar.indeterminate = true;
        state_.bar.animating = true;
        showState();
        lockRetry_ = environment_.callLater(0.1, [this] { acquireCacheThenDownload(); });
        return;
    }
    if (cache_.locked()) {
        cache_.removeLeftovers();
        if (cache_.lockMode() == Lock::Mode::Exclusive) {
            if (const auto repaired = cache_.repair(); !repaired) {
                platform::systemLog(repaired.reason());
            }
        }
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
    request.caDirectory = settings_.caDirectory;
    // With an install agent in the cache, a server that still has the same archive can answer
    // 304 and send none of it.
    storedValidationString_.clear();
    if (!cachedAgentDirectory().empty() && cachedAgentCounts()) {
        storedValidationString_ = cache_.storedValidationString();
        if (!storedValidationString_.empty()) {
            request.extraHeaders.push_back({"If-None-Match", storedValidationString_});
        }
    }
    TransferChecks checks;
    if (vouched_) {
        checks.hashBody = true;
        checks.maximumBodyLength = vouched_->size();
    }
    if (resilient_) {
        checks.retries = retryPolicy();
        if (!privateRun_) {
            // Downloaded into the cache, under its lock, so that a later run can go on from it.
            installAgentLocation_ = cache_.directory() + PARTIAL_DOWNLOAD_FILE;
            if (const auto partial = readPartialDownload(cache_.directory());
                partial && partial->url == url &&
                (partial->length < 0 ||
                 partial->size < static_cast<std::uint64_t>(partial->length))) {
                checks.resumeFrom = partial->size;
                checks.resumeETag = partial->etag;
            }
        }
    }
    theDownload_ = environment_.makeTransfer(request, installAgentLocation_, *this, checks);
}

void Download::useNoCache(const Failure& lockFailure) {
    // TRANSLATORS: the first %s is the lock file's path, the second the system's reason.
    const Text why =
        Text::format(N_("its lock %s cannot be taken (%s)"), cache_.directory() + ".lock",
                     Text::systemError(lockFailure.error()));
    report_message_main(
        Failure{Text::format(N_("The install agent cache is not used: %s."), why)}.shown(), true);
    downloadAgainPrivately();
}

std::string Download::cachedAgentDirectory() const {
    // Trust is decided once, when the run starts: a cache that was not trusted then may have
    // been written by someone else, whatever it looks like now.
    return privateRun_ ? std::string() : installAgentDirOnDisk();
}

platform::RetryPolicy Download::retryPolicy() const {
    platform::RetryPolicy policy;
    policy.waitScale = settings_.run.retryWaitScale;
    return policy;
}

void Download::windowWillClose() {
    if (closed_) {
        return;
    }
    closed_ = true;
    if (lockRetry_ != 0) {
        environment_.cancelCall(lockRetry_);
        lockRetry_ = 0;
    }
    if (signatureFetch_) {
        signatureFetch_->cancel();
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
    installAgentInCache = agentReady_ && !privateRun_;
    if (agentReady_) {
        cache_.keepSharedUntilExit();
    } else {
        cache_.unlock();
    }
    environment_.stopApplication(agentReady_ ? RUN_AGENT_READY : RUN_NO_AGENT);
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

void Download::transferWillRetry(const platform::RetryNotice& notice) {
    downloadWillRetry(notice);
}

void Download::transferDidRestartBody(const platform::UrlResponse& response) {
    // The archive changed on the server between two tries: what is kept now belongs to the new.
    recordPartial(response);
    fileLength_ = response.expectedContentLength;
    if (fileLength_ >= 0) {
        state_.bar.maximum = static_cast<double>(fileLength_);
    }
}

} // namespace qz
