#include "platform/transfer/retrying_transfer.h"

#include "base/translation.h"
#include "platform/system/event_loop.h"

#include <algorithm>
#include <cmath>
#include <sys/stat.h>

namespace qz::platform {
namespace {

// A weak ETag cannot guard a range: the parts of two versions could be joined.
bool isStrong(const std::string& etag) {
    return !etag.empty() && !etag.starts_with("W/");
}

// How every zip archive starts: a local file header, or the end record of an empty one.
bool startsAsZip(const std::string& prefix) {
    return prefix == std::string("PK\x03\x04", 4) || prefix == std::string("PK\x05\x06", 4);
}

bool isWebPage(const UrlResponse& response) {
    const std::string type = response.headerField("Content-Type").value_or("");
    std::string lowered;
    for (const char c : type.substr(0, 9)) {
        lowered += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return lowered == "text/html";
}

std::uint64_t fileSize(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)
               ? static_cast<std::uint64_t>(st.st_size)
               : 0;
}

} // namespace

RetryingTransfer::RetryingTransfer(EventLoop& loop, UrlRequest request, RetryingOptions options,
                                   RetryPolicy policy, UrlTransferDelegate& delegate)
    : loop_(loop), request_(std::move(request)), options_(std::move(options)), policy_(policy),
      delegate_(delegate) {
    if (!options_.destination.empty() && isStrong(options_.resumeETag)) {
        resumeFrom_ = std::min(options_.resumeFrom, fileSize(options_.destination));
        bodyETag_ = options_.resumeETag;
    }
    startTry();
}

RetryingTransfer::~RetryingTransfer() {
    *alive_ = false;
    cancel();
}

void RetryingTransfer::cancel() {
    running_ = false;
    loop_.cancelCall(wait_);
    wait_ = 0;
    if (try_) {
        try_->stopKeepingFile();
    }
}

std::uint64_t RetryingTransfer::bodyLength() const {
    return try_ ? try_->bodyLength() : 0;
}

bool RetryingTransfer::bodyTooLong() const {
    return try_ && try_->bodyTooLong();
}

Result<Blake2b512Digest> RetryingTransfer::bodyDigest() const {
    if (!try_) {
        return Failure{Text::format(N_("The body of the transfer was not hashed to its end"))};
    }
    return try_->bodyDigest();
}

const std::string& RetryingTransfer::body() const {
    static const std::string none;
    return try_ ? try_->body() : none;
}

void RetryingTransfer::startTry() {
    ++tries_;
    lengthAtTry_ = resumeFrom_;
    UrlRequest request = request_;
    if (responded_) {
        // The delegate has acted on the first answer; a later one must carry the body.
        std::erase_if(request.extraHeaders,
                      [](const auto& field) { return field.first == "If-None-Match"; });
    }
    if (resumeFrom_ > 0) {
        request.extraHeaders.emplace_back("Range", "bytes=" + std::to_string(resumeFrom_) + "-");
        request.extraHeaders.emplace_back("If-Range", bodyETag_);
    }
    UrlTransferDelegate& self = *this;
    try_ = std::make_unique<UrlTransfer>(loop_, std::move(request), self);
    try_->setDeletesFileUponFailure(false);
    if (!options_.destination.empty()) {
        try_->setDestination(options_.destination, true);
        // The delegate decides on the first answer (and takes what locks it needs) before the
        // file is touched.
        try_->setWaitsForGoAhead();
    }
    try_->setHashesBody(options_.hashesBody);
    if (options_.maximumBodyLength) {
        try_->setMaximumBodyLength(*options_.maximumBodyLength);
    }
    try_->setKeepsBody(options_.keepsBody);
    try_->setResumeFrom(resumeFrom_);
}

bool RetryingTransfer::goAhead() {
    if (auto released = try_->goAhead(); !released) {
        try_->stopKeepingFile();
        UrlError error{released.failure(), request_.url};
        error.kind = FailureKind::Local;
        fail(std::move(error));
        return false;
    }
    return true;
}

void RetryingTransfer::transferDidReceiveResponse(const UrlResponse& response) {
    answered_ = true;
    const bool wholeBody = response.resumedFrom == 0 && response.statusCode / 100 == 2;
    if (options_.expectsZipArchive && wholeBody && isWebPage(response)) {
        failNotAnArchive();
        return;
    }
    zipChecked_ = !wholeBody || response.statusCode == 204;
    if (wholeBody) {
        bodyETag_ = response.headerField("ETag").value_or("");
    }
    const auto alive = alive_;
    if (!responded_) {
        responded_ = true;
        UrlResponse shown = response;
        if (response.resumedFrom > 0) {
            shown.statusCode = 200; // the whole file, as far as the delegate is concerned
        }
        delegate_.transferDidReceiveResponse(shown);
        if (!*alive || !running_ || !goAhead()) {
            return;
        }
        if (response.resumedFrom > 0) {
            counted_ = response.resumedFrom;
            delegate_.transferDidReceiveData(counted_);
        }
        return;
    }
    if (goAhead() && wholeBody && resumeFrom_ > 0) {
        delegate_.transferDidRestartBody(response);
    }
}

void RetryingTransfer::transferDidReceiveData(std::uint64_t /*length*/) {
    if (options_.expectsZipArchive && !zipChecked_ && try_->bodyPrefix().size() >= 4) {
        zipChecked_ = true;
        if (!startsAsZip(try_->bodyPrefix())) {
            failNotAnArchive();
            return;
        }
    }
    // A body that started over is counted again only past what was counted before.
    const std::uint64_t total = try_->bodyLength();
    if (total > counted_) {
        const std::uint64_t more = total - counted_;
        counted_ = total;
        delegate_.transferDidReceiveData(more);
    }
}

void RetryingTransfer::transferDidFinish() {
    if (options_.expectsZipArchive && !zipChecked_ && !startsAsZip(try_->bodyPrefix())) {
        failNotAnArchive();
        return;
    }
    running_ = false;
    delegate_.transferDidFinish();
}

void RetryingTransfer::transferDidFail(const UrlError& error) {
    if (try_->bodyLength() > lengthAtTry_) {
        tries_ = 1;
    }
    if (error.kind == FailureKind::Transient && tries_ < policy_.maxTries) {
        waitThenTry(error);
        return;
    }
    fail(error);
}

void RetryingTransfer::waitThenTry(const UrlError& error) {
    double wait = 0;
    if (error.retryAfter) {
        wait = std::min(*error.retryAfter, policy_.retryAfterCap);
    } else {
        // Full jitter: installers that lost the same server do not come back in step.
        const double ceiling = std::min(policy_.maxBackoff, std::ldexp(1.0, tries_ - 1));
        wait = std::uniform_real_distribution<double>(0.0, ceiling)(random_);
    }
    const double left = policy_.totalWaitCap - waited_;
    if (left <= 0) {
        fail(error);
        return;
    }
    wait = std::min(wait, left);
    waited_ += wait;
    // The next try goes on from what reached the file, when its ETag can guard the rest.
    resumeFrom_ =
        !options_.destination.empty() && isStrong(bodyETag_) ? fileSize(options_.destination) : 0;
    answered_ = answered_ || error.serverAnswered;
    tick(wait, error.httpStatus >= 400);
}

void RetryingTransfer::tick(double left, bool busy) {
    const auto alive = alive_;
    delegate_.transferWillRetry(RetryNotice{std::ceil(left), tries_ + 1, policy_.maxTries, busy});
    if (!*alive || !running_) {
        return;
    }
    const double step = std::min(left, left - std::ceil(left) + 1.0);
    wait_ = loop_.callLater(step * policy_.waitScale, [this, left, step, busy] {
        wait_ = 0;
        if (left - step > 1e-9) {
            tick(left - step, busy);
        } else {
            startTry();
        }
    });
}

void RetryingTransfer::fail(UrlError error) {
    running_ = false;
    error.serverAnswered = error.serverAnswered || answered_;
    delegate_.transferDidFail(error);
}

void RetryingTransfer::failNotAnArchive() {
    // Nothing of a web page is kept.
    try_->cancel();
    UrlError error{Failure{Text::format(
                       N_("The server sent a web page instead of the install agent archive. If "
                          "this network needs you to sign in, sign in and try again."))},
                   request_.url};
    error.kind = FailureKind::Refused;
    error.notAnArchive = true;
    error.serverAnswered = true;
    fail(std::move(error));
}

SmallFileFetch::SmallFileFetch(EventLoop& loop, UrlRequest request, std::uint64_t limit,
                               Completion done, RetryPolicy policy)
    : done_(std::move(done)),
      transfer_(loop, std::move(request), RetryingOptions{{}, false, limit, true}, policy, *this) {}

void SmallFileFetch::transferDidReceiveResponse(const UrlResponse& response) {
    status_ = response.statusCode;
    url_ = response.url;
}

void SmallFileFetch::transferDidFinish() {
    // The completion may destroy this object.
    const Completion done = std::move(done_);
    if (status_ / 100 != 2) {
        done(UrlError{httpStatusFailure(status_), url_});
        return;
    }
    done(transfer_.body());
}

void SmallFileFetch::transferDidFail(const UrlError& error) {
    const Completion done = std::move(done_);
    done(error);
}

void SmallFileFetch::transferWillRetry(const RetryNotice& notice) {
    if (onRetry) {
        onRetry(notice);
    }
}

} // namespace qz::platform
