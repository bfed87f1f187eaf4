#pragma once

// A download that survives the network: a transient failure is tried again after a wait, and a
// try after part of the body arrived asks only for the rest.

#include "platform/transfer/url_transfer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <variant>

namespace qz::platform {

struct RetryPolicy {
    int maxTries = 5;        // in all, the first included
    double maxBackoff = 8.0; // waits are random up to 1, 2, 4, then this many seconds
    double retryAfterCap = 60.0;
    double totalWaitCap = 120.0;
    double waitScale = 1.0; // every wait multiplied by this; only tests shorten them
};

// What a download asks beyond the request, and where it goes on from.
struct RetryingOptions {
    std::string destination{}; // none: the body is counted, or kept when asked
    bool hashesBody = false;
    std::optional<std::uint64_t> maximumBodyLength{};
    bool keepsBody = false;
    // The body must be a zip archive: a web page (a captive portal's) is refused.
    bool expectsZipArchive = false;
    // A part kept from an earlier run in the destination, and the strong ETag it belongs to.
    std::uint64_t resumeFrom = 0;
    std::string resumeETag{};
};

// One HTTP(S) download seen by its delegate as one transfer: one response (the first try's; for
// a resumed body, with the whole file's length, then the kept part as the first data) and one
// end, whatever tries happened in between. A transient failure (FailureKind) is tried again, up
// to the policy's tries and waits, with exponential backoff and full jitter, or after the
// server's Retry-After. A try that moved the body forward starts the count of tries and the
// backoff afresh: a link that is cut every few minutes still gets the file, bounded by the waits. A
// try after part of the body arrived asks for the rest with Range and If-Range (strong ETags only);
// data callbacks count only bytes not counted before. A failure keeps the destination's file for a
// later run: its owner decides.
class RetryingTransfer : UrlTransferDelegate {
  public:
    RetryingTransfer(EventLoop& loop, UrlRequest request, RetryingOptions options,
                     RetryPolicy policy, UrlTransferDelegate& delegate);
    ~RetryingTransfer() override;
    RetryingTransfer(const RetryingTransfer&) = delete;
    RetryingTransfer& operator=(const RetryingTransfer&) = delete;

    // No callback comes after this; the file stays.
    void cancel();
    bool running() const {
        return running_;
    }
    std::uint64_t bodyLength() const;
    bool bodyTooLong() const;
    Result<Blake2b512Digest> bodyDigest() const;
    const std::string& body() const;
    // The ETag of the body that is in the file, once it has begun.
    const std::string& bodyETag() const {
        return bodyETag_;
    }

  private:
    void startTry();
    void waitThenTry(const UrlError& error);
    void tick(double left, bool busy);
    void fail(UrlError error);
    void failNotAnArchive();
    // False when the delegate ended this transfer meanwhile.
    bool goAhead();

    void transferDidReceiveResponse(const UrlResponse& response) override;
    void transferDidReceiveData(std::uint64_t length) override;
    void transferDidFinish() override;
    void transferDidFail(const UrlError& error) override;

    EventLoop& loop_;
    UrlRequest request_;
    RetryingOptions options_;
    RetryPolicy policy_;
    UrlTransferDelegate& delegate_;
    std::unique_ptr<UrlTransfer> try_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::mt19937 random_{std::random_device{}()};
    int tries_ = 0; // since the body last moved forward
    std::uint64_t lengthAtTry_ = 0;
    double waited_ = 0;
    unsigned wait_ = 0;
    bool running_ = true;
    bool responded_ = false; // the delegate has its response
    bool answered_ = false;  // some try got an HTTP answer
    bool zipChecked_ = false;
    std::uint64_t counted_ = 0; // bytes the delegate was told of
    std::uint64_t resumeFrom_ = 0;
    std::string bodyETag_;
};

// Fetches a small file (such as a signature) into memory under the rules of UrlTransfer: the
// same redirects, protocols, certificates, proxies and time-outs, and tried again under the
// policy. A body longer than `limit`, or a final status other than 2xx, is a failure.
class SmallFileFetch : UrlTransferDelegate {
  public:
    // Called once, from the main loop, with the body or why it could not be had. It may destroy
    // this object.
    using Completion = std::function<void(std::variant<std::string, UrlError> body)>;

    // Starts once the loop runs; the default policy tries once.
    SmallFileFetch(EventLoop& loop, UrlRequest request, std::uint64_t limit, Completion done,
                   RetryPolicy policy = RetryPolicy{1});
    SmallFileFetch(const SmallFileFetch&) = delete;
    SmallFileFetch& operator=(const SmallFileFetch&) = delete;

    // The completion is not called after this.
    void cancel() {
        transfer_.cancel();
    }
    bool running() const {
        return transfer_.running();
    }
    // The waits before tries again are told here, when set.
    std::function<void(const RetryNotice&)> onRetry;

  private:
    void transferDidReceiveResponse(const UrlResponse& response) override;
    void transferDidReceiveData(std::uint64_t /*length*/) override {}
    void transferDidFinish() override;
    void transferDidFail(const UrlError& error) override;
    void transferWillRetry(const RetryNotice& notice) override;

    Completion done_;
    long status_ = 0;
    std::string url_;
    RetryingTransfer transfer_;
};

} // namespace qz::platform
