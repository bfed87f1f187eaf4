// The download window's entry: the hand-off globals, and the application run behind them.
#include "download/download_entry.h"

#include "base/settings.h"
#include "download/download_controller.h"
#include "platform/system/event_loop.h"
#include "platform/window/download_window.h"

#include <cstdlib>
#include <type_traits>
#include <utility>

namespace qz {

std::string downloadTo;
std::string downloadFrom;
char** EMPTY_ARGV = nullptr;
bool installAgentInCache = false;

namespace {

// The loop's transfers, as the controller holds them: the archive's, one request
// (platform::UrlTransfer) or tried again and resumed (platform::RetryingTransfer).
template <typename Of> class TransferAdapter : public Transfer {
  public:
    template <typename... Args>
    explicit TransferAdapter(Args&&... args) : transfer_(std::forward<Args>(args)...) {}
    void cancel() override {
        transfer_.cancel();
    }
    std::uint64_t bodyLength() const override {
        return transfer_.bodyLength();
    }
    Result<platform::Blake2b512Digest> bodyDigest() const override {
        return transfer_.bodyDigest();
    }
    bool bodyTooLong() const override {
        return transfer_.bodyTooLong();
    }
    std::string bodyETag() const override {
        if constexpr (std::is_same_v<Of, platform::RetryingTransfer>) {
            return transfer_.bodyETag();
        }
        return {};
    }
    Of& transfer() {
        return transfer_;
    }

  private:
    Of transfer_;
};

std::unique_ptr<Transfer> singleRequest(platform::EventLoop& loop,
                                        const platform::UrlRequest& request,
                                        const std::string& destination,
                                        platform::UrlTransferDelegate& delegate,
                                        const TransferChecks& checks) {
    auto adapter =
        std::make_unique<TransferAdapter<platform::UrlTransfer>>(loop, request, delegate);
    auto& transfer = adapter->transfer();
    transfer.setDeletesFileUponFailure(true);
    transfer.setDestination(destination, true);
    transfer.setHashesBody(checks.hashBody);
    if (checks.maximumBodyLength) {
        transfer.setMaximumBodyLength(*checks.maximumBodyLength);
    }
    return adapter;
}

class SignatureFetchAdapter : public Transfer {
  public:
    SignatureFetchAdapter(platform::EventLoop& loop, const platform::UrlRequest& request,
                          std::function<void(SignatureText)> done,
                          const platform::RetryPolicy& policy = platform::RetryPolicy{1},
                          std::function<void(const platform::RetryNotice&)> waiting = {})
        : fetch_(loop, request, MINISIGN_FILE_LIMIT, std::move(done), policy) {
        fetch_.onRetry = std::move(waiting);
    }
    void cancel() override {
        fetch_.cancel();
    }

  private:
    platform::SmallFileFetch fetch_;
};

// The controller's surroundings in the program's own run: everything on the one event loop.
class LoopEnvironment : public DownloadEnvironment {
  public:
    LoopEnvironment(platform::EventLoop& loop, std::optional<platform::MainBundle> bundle)
        : loop_(loop), bundle_(std::move(bundle)) {}
    void stopApplication(int status) override {
        loop_.stop(status);
    }
    std::unique_ptr<Transfer> makeTransfer(const platform::UrlRequest& request,
                                           const std::string& destination,
                                           platform::UrlTransferDelegate& delegate,
                                           const TransferChecks& checks) override {
        if (!checks.retries) {
            return singleRequest(loop_, request, destination, delegate, checks);
        }
        return std::make_unique<TransferAdapter<platform::RetryingTransfer>>(
            loop_, request,
            platform::RetryingOptions{destination, checks.hashBody, checks.maximumBodyLength, false,
                                      true, checks.resumeFrom, checks.resumeETag},
            *checks.retries, delegate);
    }
    std::unique_ptr<Transfer> fetchSignature(const platform::UrlRequest& request,
                                             std::function<void(SignatureText)> done) override {
        return std::make_unique<SignatureFetchAdapter>(loop_, request, std::move(done));
    }
    std::unique_ptr<Transfer>
    fetchSignature(const platform::UrlRequest& request, std::function<void(SignatureText)> done,
                   const platform::RetryPolicy& policy,
                   std::function<void(const platform::RetryNotice&)> waiting) override {
        return std::make_unique<SignatureFetchAdapter>(loop_, request, std::move(done), policy,
                                                       std::move(waiting));
    }
    unsigned callLater(double seconds, std::function<void()> fn) override {
        return loop_.callLater(seconds, std::move(fn));
    }
    void cancelCall(unsigned id) override {
        loop_.cancelCall(id);
    }
    void runInBackground(std::function<bool()> work, std::function<void(bool)> done) override {
        loop_.runInBackground(std::move(work), std::move(done));
    }
    std::optional<platform::MainBundle> mainBundle() override {
        return bundle_;
    }

  private:
    platform::EventLoop& loop_;
    std::optional<platform::MainBundle> bundle_;
};

// The download application: one window, one controller, one event loop run. Returns the run's
// status (non-zero when the cache's install agent is ready).
int runDownloadApplication(int /*argc*/, char** /*argv*/, const Settings& run) {
    platform::EventLoop loop;
    const auto window = platform::makeDownloadWindow(loop, run);
    DownloadSettings settings;
    settings.timeoutInterval = run.downloadTimeout;
    settings.caFile = run.caFile;
    settings.caDirectory = run.caDirectory;
    settings.run = run;
    LoopEnvironment environment(loop, platform::mainBundle(run));
    Download controller(*window, environment, std::move(settings));
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
