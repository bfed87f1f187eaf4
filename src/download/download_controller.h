#pragma once

#include "base/settings.h"
#include "base/translation.h"
#include "platform/system/main_bundle.h"
#include "platform/transfer/retrying_transfer.h"
#include "platform/transfer/url_transfer.h"
#include "platform/window/download_window.h"
#include "provisioning/install_agent_cache.h"
#include "provisioning/install_agent_signature.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace qz {

// What the controller needs of a running transfer once it has started it.
class Transfer {
  public:
    virtual ~Transfer() = default;
    virtual void cancel() = 0;
    // Of the body received, when the transfer was asked to hash it.
    virtual std::uint64_t bodyLength() const {
        return 0;
    }
    virtual Result<platform::Blake2b512Digest> bodyDigest() const {
        return Failure{Text::format(N_("The download was not hashed"))};
    }
    virtual bool bodyTooLong() const {
        return false;
    }
    // The ETag of the body received, when the transfer may have started it over under another.
    virtual std::string bodyETag() const {
        return {};
    }
};

// For the archive of a signed install agent: hashed as it arrives, and no longer than signed.
// With the installer's resilient download, also: tried again, resumed from a kept part (and,
// being an archive, never a web page).
struct TransferChecks {
    bool hashBody = false;
    std::optional<std::uint64_t> maximumBodyLength;
    std::optional<platform::RetryPolicy> retries;
    std::uint64_t resumeFrom = 0;
    std::string resumeETag;
};

// Fetched into memory: the signature file's text, or why it could not be had.
using SignatureText = std::variant<std::string, platform::UrlError>;

// Run-end statuses: the entry reports true only for a ready install agent.
inline constexpr int RUN_AGENT_READY = 1;
inline constexpr int RUN_NO_AGENT = 0;

// What the controller calls around it: the application's run and its loop, the network and the
// bundle. The program's own run takes them from its event loop; a test stands in for them.
class DownloadEnvironment {
  public:
    virtual ~DownloadEnvironment() = default;
    virtual void stopApplication(int status) = 0;
    // Starts a transfer of `request` into `destination` (overwriting it, deleting it on failure).
    virtual std::unique_ptr<Transfer> makeTransfer(const platform::UrlRequest& request,
                                                   const std::string& destination,
                                                   platform::UrlTransferDelegate& delegate,
                                                   const TransferChecks& checks) = 0;
    // Fetches a signature file; `done` is called once, from the loop, unless cancelled.
    virtual std::unique_ptr<Transfer>
    fetchSignature(const platform::UrlRequest& request,
                   std::function<void(SignatureText text)> done) = 0;
    // The same, tried again under `policy`, each wait told to `waiting`.
    virtual std::unique_ptr<Transfer>
    fetchSignature(const platform::UrlRequest& request,
                   std::function<void(SignatureText text)> done,
                   const platform::RetryPolicy& /*policy*/,
                   std::function<void(const platform::RetryNotice&)> /*waiting*/) {
        return fetchSignature(request, std::move(done));
    }
    // A delayed call on the application's run loop, and its cancellation.
    virtual unsigned callLater(double seconds, std::function<void()> fn) = 0;
    virtual void cancelCall(unsigned id) = 0;
    // Blocking work off the loop, its result handed back on the loop.
    virtual void runInBackground(std::function<bool()> work, std::function<void(bool)> done) = 0;
    virtual std::optional<platform::MainBundle> mainBundle() = 0;
};

// The requests' own settings, as the run's settings give them.
struct DownloadSettings {
    double timeoutInterval = 60.0;
    std::string caFile; // trusted for HTTPS instead of the system's store, when set
    // The same as a directory of hashed certificates.
    std::string caDirectory;
    // The run's, for the programs the controller starts (unzip).
    Settings run;
};

// Shown while another run holds the cache (translated where shown).
inline constexpr const char* WAITING_FOR_CACHE_STATUS =
    N_("Waiting for another installer to finish");
// Shown, in a front end that no one can close, when the installer's own folder is not found.
inline constexpr const char* NO_BUNDLE_STATUS =
    N_("The installer's own folder could not be found, so nothing can be downloaded.");

// Drives the download window: fetches the install agent archive, reuses a current cache, and
// unpacks a new archive into the cache. It never starts the install agent itself: it ends the
// application run with RUN_AGENT_READY once the cache holds a complete, current install agent
// (or, when the cache is not trusted, once the archive is downloaded for the caller to unpack
// privately). Runs share the cache's lock while they read it and until the install agent they
// found ends; a run takes it alone to replace the install agent.
class Download : public platform::UrlTransferDelegate, public platform::DownloadWindowDelegate {
  public:
    Download(platform::DownloadWindow& window, DownloadEnvironment& environment,
             DownloadSettings settings);
    ~Download() override;

    void applicationDidFinishLaunching();
    void downloadFromURL(const std::string& url);
    void windowWillClose() override;

    void downloadDidReceiveResponse(const platform::UrlResponse& response);
    void downloadDidReceiveDataOfLength(std::uint64_t length);
    void failure(const std::string& message, platform::TextColour colour);
    void downloadDidFailWithError(const platform::UrlError& error);
    void downloadWillRetry(const platform::RetryNotice& notice);
    void downloadDidFinish();

    std::int64_t fileLength() const {
        return fileLength_;
    }
    void setFileLength(std::int64_t length) {
        fileLength_ = length;
    }
    std::int64_t bytesReceived() const {
        return bytesReceived_;
    }
    void setBytesReceived(std::int64_t bytes) {
        bytesReceived_ = bytes;
    }
    platform::DownloadWindow* window() const {
        return window_;
    }
    void setWindow(platform::DownloadWindow* window);
    const std::string& installAgentLocation() const {
        return installAgentLocation_;
    }
    const std::string& validationString() const {
        return validationString_;
    }
    void setValidationString(std::string validationString) {
        validationString_ = std::move(validationString);
    }
    Transfer* theDownload() const {
        return theDownload_.get();
    }

  private:
    void transferDidReceiveResponse(const platform::UrlResponse& response) override;
    void transferDidReceiveData(std::uint64_t length) override;
    void transferDidFinish() override;
    void transferDidFail(const platform::UrlError& error) override;
    void transferWillRetry(const platform::RetryNotice& notice) override;
    void transferDidRestartBody(const platform::UrlResponse& response) override;

    platform::RetryPolicy retryPolicy() const;
    void fetchSignatureThenDownload();
    void signatureArrived(SignatureText text);
    // A half-published release: the archive is checked once more against a fresh signature.
    bool refetchSignatureThenHandOver();
    // When the server cannot be reached at all, a signed agent already cached is started.
    bool startCachedAgentOffline(const platform::UrlError& error);
    // The kept partial download: recorded as part of this answer, or removed.
    bool ownsPartial();
    void recordPartial(const platform::UrlResponse& response);
    void removePartial();
    void downloadAgainPrivately();
    // The cache's lock cannot be taken: the run goes on without the cache.
    void useNoCache(const Failure& lockFailure);
    Result<> checkDownloadedArchive();
    Result<VersionFloors> versionFloors() const;
    bool cachedAgentCounts() const;
    // The cache's install agent, when this run uses the cache and one is there.
    std::string cachedAgentDirectory() const;
    void refuse(const Failure& why);
    void acquireCacheThenDownload();
    bool holdCacheAlone();
    void handOver();
    void finishHandOver(const std::string& unpackDir, bool unpacked);
    void cancelTransfer();
    void showState();
    void closeWindow();
    void stop();

    platform::DownloadWindow* window_;
    // What the window shows: the status line, the bar, the cancel button and the splash image.
    platform::WindowState state_;
    DownloadEnvironment& environment_;
    DownloadSettings settings_;
    std::unique_ptr<Transfer> theDownload_;
    // With the installer's keys, nothing runs unless its signature is checked.
    std::optional<InstallAgentKeys> keys_;
    std::unique_ptr<Transfer> signatureFetch_;
    std::optional<VouchedArchive> vouched_;
    std::optional<Vouch> vouch_; // for the downloaded archive, once it is checked
    std::string installAgentLocation_;
    std::string validationString_;
    std::int64_t fileLength_ = 0;
    std::int64_t bytesReceived_ = 0;
    std::string storedValidationString_;
    InstallAgentCache cache_;
    bool resilient_ = false;    // the installer asks for the download that survives the network
    std::string product_;       // whose install agents this installer accepts
    bool partialOwned_ = false; // this run writes the cache's partial download
    bool signatureRefetched_ = false;
    bool privateRun_ = false; // the cache is not trusted: nothing is read from it or written to it
    bool mustHoldAlone_ = false; // the cache's agent is to be replaced
    unsigned lockRetry_ = 0;
    bool agentReady_ = false;
    bool unpacking_ = false;
    bool closed_ = false;
};

// "Downloading " and the percentage as "%3.0f%%", as the user's language writes them.
std::string downloadingStatus(double percent);

} // namespace qz
