#include "platform/transfer/url_transfer.h"

#include "platform/transfer/url_transfer_impl.h"

#include <algorithm>
#include <cmath>

namespace qz::platform {

std::optional<std::string> UrlResponse::headerField(std::string_view name) const {
    return headerFieldNamed(headerFields, name);
}

UrlTransfer::Impl::Impl(EventLoop& loop, UrlRequest request, UrlTransferDelegate& delegate)
    : loop_(loop), request_(std::move(request)), events_(delegate) {
    if (request_.url.empty()) {
        failLater("The URL is empty.");
    } else if (easy_ == nullptr) {
        failLater("Could not start the transfer.");
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
        failLater(std::string("Could not start the transfer: ") + curl_multi_strerror(code));
    }
}

UrlTransfer::Impl::~Impl() {
    cancel();
    stopAll();
}

void UrlTransfer::Impl::failLater(std::string failure) {
    // Failures are delivered from the loop, like every other callback.
    startFailure_ = std::move(failure);
    startFailureSource_ = loop_.callLater(0, [this] {
        startFailureSource_ = 0;
        failNow(startFailure_);
    });
}

void UrlTransfer::Impl::cancel() {
    if (events_.ended()) {
        return;
    }
    events_.close();
    stopAll();
    // A cancelled download is thrown away.
    body_.abandon(true);
}

void UrlTransfer::Impl::stopAll() {
    driver_.stop();
    loop_.cancelCall(startFailureSource_);
    startFailureSource_ = 0;
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

bool UrlTransfer::running() const {
    return impl_->running();
}

} // namespace qz::platform
