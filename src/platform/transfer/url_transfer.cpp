// The transfer: its libcurl callbacks only record, and the loop delivers what they recorded.
#include "platform/transfer/url_transfer.h"

#include "base/translation.h"
#include "platform/system/event_loop.h"
#include "platform/transfer/curl_multi_driver.h"
#include "platform/transfer/transfer_request.h"
#include "platform/transfer/transfer_response.h"
#include "platform/transfer/url_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace qz::platform {

std::optional<std::string> UrlResponse::headerField(std::string_view name) const {
    return headerFieldNamed(headerFields, name);
}

namespace {

// Where a 206 answer's body starts, and the whole file's length (-1 unknown), from its
// Content-Range ("bytes 100-199/200"); none when it has no usable one.
std::optional<std::pair<std::uint64_t, std::int64_t>> contentRange(const HeaderFields& fields) {
    const auto range = headerFieldNamed(fields, "Content-Range");
    unsigned long long first = 0;
    unsigned long long last = 0;
    char total[24] = {};
    if (!range || std::sscanf(range->c_str(), "bytes %llu-%llu/%23s", &first, &last, total) != 3 ||
        last < first) {
        return std::nullopt;
    }
    const std::string whole = total;
    const bool known = !whole.empty() && whole.find_first_not_of("0123456789") == std::string::npos;
    return std::pair{static_cast<std::uint64_t>(first),
                     known ? static_cast<std::int64_t>(std::stoll(whole)) : std::int64_t{-1}};
}

} // namespace

Failure httpStatusFailure(long status) {
    // TRANSLATORS: %s is the status code, such as 404.
    return Text::format(N_("The server answered with HTTP status %s."), std::to_string(status));
}

class UrlTransfer::Impl final : CurlMultiDriver::Client {
  public:
    Impl(EventLoop& loop, UrlRequest request, UrlTransferDelegate& delegate);
    ~Impl();

    TransferBody& body() {
        return body_;
    }
    void setDeletesFileUponFailure(bool deletes) {
        deletesFileUponFailure_ = deletes;
    }
    void setResumeFrom(std::uint64_t offset);
    void cancel(bool keepsFile = false);
    bool running() const {
        return !events_.ended();
    }

  private:
    // libcurl callbacks: they only record, never call the delegate.
    static std::size_t onHeaderLine(char* buffer, std::size_t size, std::size_t count, void* self);
    static std::size_t onBody(char* buffer, std::size_t size, std::size_t count, void* self);
    std::size_t receiveHeaderLine(std::string_view line);
    std::size_t endOfHeaderBlock(std::size_t lineSize);
    // Whether this response came over http after one over https; notes the reason if so.
    bool downgradedFromHttps();
    std::size_t receiveBody(const char* data, std::size_t length);

    void start();
    void failLater(Failure failure, FailureKind kind = FailureKind::Refused);

    void curlDidRun() override;
    void curlWentIdle() override {
        // A stall is a cut that the server did not close.
        failNow(Text::format(N_("The request timed out.")), FailureKind::Transient);
    }
    void complete(CURLcode result);
    void failNow(Failure description, FailureKind kind);
    // A failure of the body (its file or its length), which always deletes what was written
    // unless the body was resumed (a later try goes on from the file).
    std::size_t bodyFailed(Failure reason, FailureKind kind);
    void queueFailure(Failure description, bool alwaysDeleteFile, FailureKind kind,
                      int curlCode = 0);
    // Whether a 206 answer fits the part kept; a 200 starts the body again.
    bool acceptResumedBody(long statusCode);
    void queueResponse(long statusCode);
    void stopAll();

    EventLoop& loop_;
    UrlRequest request_;
    char errorBuffer_[CURL_ERROR_SIZE] = {};
    CurlHeaderList headerList_;
    CurlMultiDriver driver_{loop_, *this};
    CURL* easy_ = driver_.easy();

    unsigned startFailureSource_ = 0;
    std::optional<Failure> startFailure_;

    TransferBody body_;
    bool deletesFileUponFailure_ = false;
    bool sawHttps_ = false;
    bool responseQueued_ = false;
    // Set by a callback that aborts the transfer, reported instead of libcurl's error.
    std::optional<Failure> abortReason_;
    FailureKind abortKind_ = FailureKind::Refused;
    bool abortDeletesFile_ = false;
    std::uint64_t resumeFrom_ = 0;
    std::uint64_t resumedFrom_ = 0; // of the answer: 0 when the body started over
    std::int64_t wholeLength_ = -1; // the whole file's, from a 206's Content-Range

    TransferEvents events_;
};

UrlTransfer::Impl::Impl(EventLoop& loop, UrlRequest request, UrlTransferDelegate& delegate)
    : loop_(loop), request_(std::move(request)), events_(delegate) {
    if (request_.url.empty()) {
        failLater(Failure{"The URL is empty."});
    } else if (easy_ == nullptr) {
        failLater(Failure{"Could not start the transfer."});
    } else {
        start();
    }
}

void UrlTransfer::Impl::start() {
    const double seconds = request_.timeoutInterval;
    std::optional<std::int64_t> timeoutUs;
    if (std::isfinite(seconds) && seconds > 0) {
        timeoutUs = static_cast<std::int64_t>(std::min(seconds, 1.0e7) * 1.0e6);
    }
    headerList_ = setRequestOptions(easy_, request_,
                                    static_cast<long>(timeoutUs.value_or(0) / 1000), errorBuffer_);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &Impl::onHeaderLine);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &Impl::onBody);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    if (const CURLMcode code = driver_.start(timeoutUs); code != CURLM_OK) {
        failLater(
            Failure{std::string("Could not start the transfer: ") + curl_multi_strerror(code)});
    }
}

UrlTransfer::Impl::~Impl() {
    cancel();
    stopAll();
}

void UrlTransfer::Impl::failLater(Failure failure, FailureKind kind) {
    // Failures are delivered from the loop, like every other callback.
    startFailure_ = std::move(failure);
    startFailureSource_ = loop_.callLater(0, [this, kind] {
        startFailureSource_ = 0;
        failNow(*startFailure_, kind);
    });
}

void UrlTransfer::Impl::cancel(bool keepsFile) {
    if (events_.ended()) {
        return;
    }
    events_.close();
    stopAll();
    // A cancelled download is thrown away, unless a later run is to go on from it.
    body_.abandon(!keepsFile);
}

void UrlTransfer::Impl::stopAll() {
    driver_.stop();
    loop_.cancelCall(startFailureSource_);
    startFailureSource_ = 0;
}

std::size_t UrlTransfer::Impl::onHeaderLine(char* buffer, std::size_t size, std::size_t count,
                                            void* self) {
    return static_cast<Impl*>(self)->receiveHeaderLine(std::string_view(buffer, size * count));
}

std::size_t UrlTransfer::Impl::receiveHeaderLine(std::string_view line) {
    driver_.noteActivity();
    // Only the end of a block matters: the fields are read from libcurl then. Lines after the
    // response are trailers of a chunked body.
    if (responseQueued_ || !endsHeaderBlock(line)) {
        return line.size();
    }
    return endOfHeaderBlock(line.size());
}

bool UrlTransfer::Impl::downgradedFromHttps() {
    char* url = nullptr;
    curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &url);
    if (startsWithIgnoringCase(url != nullptr ? url : "", "https:")) {
        sawHttps_ = true;
    } else if (sawHttps_) {
        abortReason_ = Failure{"Refused to follow a redirect from HTTPS to HTTP."};
        abortKind_ = FailureKind::Refused;
        return true;
    }
    return false;
}

std::size_t UrlTransfer::Impl::endOfHeaderBlock(std::size_t lineSize) {
    if (downgradedFromHttps()) {
        return 0;
    }
    long status = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    if (!isFinalResponse(easy_, status)) {
        return lineSize;
    }
    if (status >= 400) {
        return 0; // complete() reports the status; the error page is not wanted
    }
    if (resumeFrom_ > 0 && !acceptResumedBody(status)) {
        return 0;
    }
    curl_off_t announced = -1;
    curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    if (announced >= 0) {
        announced += static_cast<curl_off_t>(resumedFrom_);
    }
    if (auto acceptable = body_.checkAnnouncedLength(announced); !acceptable) {
        return bodyFailed(acceptable.failure(), FailureKind::Refused);
    }
    queueResponse(status);
    return lineSize;
}

bool UrlTransfer::Impl::acceptResumedBody(long statusCode) {
    if (statusCode == 206) {
        const auto range = contentRange(lastResponseFields(easy_));
        if (range && range->first == resumeFrom_) {
            resumedFrom_ = resumeFrom_;
            wholeLength_ = range->second;
            return true;
        }
        abortReason_ = Failure{"The server answered with a part of the file that does not follow "
                               "the part already downloaded."};
        abortKind_ = FailureKind::Transient;
        return false;
    }
    if (statusCode / 100 == 2) {
        // A whole body: the file changed, or the server does not serve parts.
        body_.restart();
    }
    return true;
}

std::size_t UrlTransfer::Impl::onBody(char* buffer, std::size_t size, std::size_t count,
                                      void* self) {
    return static_cast<Impl*>(self)->receiveBody(buffer, size * count);
}

std::size_t UrlTransfer::Impl::receiveBody(const char* data, std::size_t length) {
    driver_.noteActivity();
    if (length == 0) {
        return 0;
    }
    if (!responseQueued_) {
        // A body whose header block did not end as expected; it is the final one all the same.
        long status = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 400 || downgradedFromHttps() ||
            (resumeFrom_ > 0 && !acceptResumedBody(status))) {
            return 0; // complete() reports the status, the downgrade or the range
        }
        queueResponse(status);
    }
    if (auto added = body_.add(data, length); !added) {
        return bodyFailed(added.failure(),
                          body_.tooLong() ? FailureKind::Refused : FailureKind::Local);
    }
    events_.data(length);
    return length;
}

void UrlTransfer::Impl::curlDidRun() {
    if (events_.active()) {
        if (auto flushed = body_.flush(); !flushed) {
            bodyFailed(flushed.failure(), FailureKind::Local);
            stopAll();
            queueFailure(*abortReason_, abortDeletesFile_, abortKind_);
        }
    }
    if (events_.active()) {
        if (const auto result = driver_.result()) {
            complete(*result);
        }
    }
    events_.deliver(); // may destroy this
}

std::size_t UrlTransfer::Impl::bodyFailed(Failure reason, FailureKind kind) {
    abortReason_ = std::move(reason);
    abortKind_ = kind;
    // A resumed file holds what earlier tries got; it is not this try's to delete.
    abortDeletesFile_ = resumeFrom_ == 0;
    return 0;
}

void UrlTransfer::Impl::complete(CURLcode result) {
    stopAll();
    long status = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    if (abortReason_) {
        queueFailure(*abortReason_, abortDeletesFile_, abortKind_);
        return;
    }
    if (status >= 400) {
        queueFailure(httpStatusFailure(status), false, failureKindOf(CURLE_OK, status));
        return;
    }
    if (result != CURLE_OK) {
        queueFailure(describeCurlResult(easy_, result, errorBuffer_), false,
                     failureKindOf(result, status), result);
        return;
    }
    // An empty 2xx body still yields its (empty) file; a 304 leaves the destination alone.
    if (status / 100 == 2) {
        if (auto opened = body_.open(); !opened) {
            queueFailure(opened.failure(), false, FailureKind::Local);
            return;
        }
    }
    if (auto written = body_.finish(); !written) {
        queueFailure(written.failure(), resumeFrom_ == 0, FailureKind::Local);
        return;
    }
    if (!responseQueued_) {
        queueResponse(status);
    }
    events_.finished();
}

void UrlTransfer::Impl::failNow(Failure description, FailureKind kind) {
    if (!events_.active()) {
        return;
    }
    stopAll();
    queueFailure(std::move(description), false, kind);
    events_.deliver();
}

void UrlTransfer::Impl::queueFailure(Failure description, bool alwaysDeleteFile, FailureKind kind,
                                     int curlCode) {
    body_.abandon(deletesFileUponFailure_ || alwaysDeleteFile);
    UrlError error{std::move(description), maskUrlPassword(effectiveUrl(easy_, request_.url)),
                   body_.tooLong()};
    error.kind = kind;
    error.curlCode = curlCode;
    if (easy_ != nullptr) {
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &error.httpStatus);
    }
    error.serverAnswered = error.httpStatus > 0;
    if (error.httpStatus >= 400) {
        if (const auto wait = headerFieldNamed(lastResponseFields(easy_), "Retry-After")) {
            error.retryAfter = retryAfterSeconds(*wait, std::time(nullptr));
        }
    }
    events_.failed(std::move(error));
}

void UrlTransfer::Impl::setResumeFrom(std::uint64_t offset) {
    if (offset == 0) {
        return;
    }
    if (auto kept = body_.resumeAt(offset); !kept) {
        stopAll();
        failLater(kept.failure(), FailureKind::Local);
        return;
    }
    resumeFrom_ = offset;
}

void UrlTransfer::Impl::queueResponse(long statusCode) {
    UrlResponse response;
    response.statusCode = statusCode;
    response.url = maskUrlPassword(effectiveUrl(easy_, request_.url));
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK) {
        response.expectedContentLength = length >= 0 ? static_cast<std::int64_t>(length) : -1;
    }
    if (resumedFrom_ > 0) {
        // The whole file's length, as the part kept and the rest make it.
        response.resumedFrom = resumedFrom_;
        response.expectedContentLength =
            wholeLength_ >= 0 ? wholeLength_
            : response.expectedContentLength >= 0
                ? response.expectedContentLength + static_cast<std::int64_t>(resumedFrom_)
                : -1;
    }
    response.headerFields = lastResponseFields(easy_);
    events_.response(std::move(response));
    responseQueued_ = true;
}

UrlTransfer::UrlTransfer(EventLoop& loop, UrlRequest request, UrlTransferDelegate& delegate)
    : impl_(std::make_unique<Impl>(loop, std::move(request), delegate)) {}

UrlTransfer::~UrlTransfer() = default;

void UrlTransfer::setDestination(const std::string& path, bool allowOverwrite) {
    impl_->body().setDestination(path, allowOverwrite);
}

void UrlTransfer::setDeletesFileUponFailure(bool deletes) {
    impl_->setDeletesFileUponFailure(deletes);
}

void UrlTransfer::setMaximumBodyLength(std::uint64_t bytes) {
    impl_->body().setMaximumLength(bytes);
}

void UrlTransfer::setHashesBody(bool hashes) {
    impl_->body().setHashes(hashes);
}

void UrlTransfer::setKeepsBody(bool keeps) {
    impl_->body().setKeeps(keeps);
}

void UrlTransfer::setResumeFrom(std::uint64_t offset) {
    impl_->setResumeFrom(offset);
}

void UrlTransfer::setWaitsForGoAhead() {
    impl_->body().hold();
}

Result<> UrlTransfer::goAhead() {
    return impl_->body().release();
}

std::string UrlTransfer::bodyPrefix() const {
    return impl_->body().prefix();
}

std::uint64_t UrlTransfer::bodyLength() const {
    return impl_->body().length();
}

bool UrlTransfer::bodyTooLong() const {
    return impl_->body().tooLong();
}

Result<Blake2b512Digest> UrlTransfer::bodyDigest() const {
    return impl_->body().digest();
}

const std::string& UrlTransfer::body() const {
    return impl_->body().kept();
}

void UrlTransfer::cancel() {
    impl_->cancel();
}

void UrlTransfer::stopKeepingFile() {
    impl_->cancel(true);
}

bool UrlTransfer::running() const {
    return impl_->running();
}

} // namespace qz::platform
