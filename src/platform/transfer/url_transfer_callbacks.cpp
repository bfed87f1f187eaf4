// The transfer's libcurl callbacks and how it ends: they record, and the loop delivers.
#include "platform/transfer/url_transfer_impl.h"

#include "platform/transfer/url_text.h"

namespace qz::platform {

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
        abortReason_ = "Refused to follow a redirect from HTTPS to HTTP.";
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
    curl_off_t announced = -1;
    curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    if (auto acceptable = body_.checkAnnouncedLength(announced); !acceptable) {
        return bodyFailed(acceptable.reason());
    }
    queueResponse(status);
    return lineSize;
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
        if (status >= 400 || downgradedFromHttps()) {
            return 0; // complete() reports the status or the downgrade
        }
        queueResponse(status);
    }
    if (auto added = body_.add(data, length); !added) {
        return bodyFailed(added.reason());
    }
    events_.data(length);
    return length;
}

void UrlTransfer::Impl::curlDidRun() {
    if (events_.active()) {
        if (auto flushed = body_.flush(); !flushed) {
            bodyFailed(flushed.reason());
            stopAll();
            queueFailure(*abortReason_, true);
        }
    }
    if (events_.active()) {
        if (const auto result = driver_.result()) {
            complete(*result);
        }
    }
    events_.deliver(); // may destroy this
}

std::size_t UrlTransfer::Impl::bodyFailed(const std::string& reason) {
    abortReason_ = reason;
    abortDeletesFile_ = true;
    return 0;
}

void UrlTransfer::Impl::complete(CURLcode result) {
    stopAll();
    long status = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    if (abortReason_) {
        queueFailure(*abortReason_, abortDeletesFile_);
        return;
    }
    if (status >= 400) {
        queueFailure("The server answered with HTTP status " + std::to_string(status) + ".", false,
                     formatText(_("The server answered with HTTP status %ld."), status));
        return;
    }
    if (result != CURLE_OK) {
        queueFailure(describeCurlResult(easy_, result, errorBuffer_), false,
                     describeCurlResult(easy_, result, errorBuffer_, true));
        return;
    }
    // An empty 2xx body still yields its (empty) file; a 304 leaves the destination alone.
    if (status / 100 == 2) {
        if (auto opened = body_.open(); !opened) {
            queueFailure(opened.reason(), false);
            return;
        }
    }
    if (auto written = body_.finish(); !written) {
        queueFailure(written.reason(), true);
        return;
    }
    if (!responseQueued_) {
        queueResponse(status);
    }
    events_.finished();
}

void UrlTransfer::Impl::failNow(std::string description, std::string shown) {
    if (!events_.active()) {
        return;
    }
    stopAll();
    queueFailure(std::move(description), false, std::move(shown));
    events_.deliver();
}

void UrlTransfer::Impl::queueFailure(std::string description, bool alwaysDeleteFile,
                                     std::string shown) {
    body_.abandon(deletesFileUponFailure_ || alwaysDeleteFile);
    UrlError error{maskUrlPasswordsInText(description),
                   maskUrlPassword(effectiveUrl(easy_, request_.url)),
                   {},
                   body_.tooLong()};
    error.shown = shown.empty() ? error.description : maskUrlPasswordsInText(shown);
    events_.failed(std::move(error));
}

void UrlTransfer::Impl::queueResponse(long statusCode) {
    UrlResponse response;
    response.statusCode = statusCode;
    response.url = maskUrlPassword(effectiveUrl(easy_, request_.url));
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK) {
        response.expectedContentLength = length >= 0 ? static_cast<std::int64_t>(length) : -1;
    }
    response.headerFields = lastResponseFields(easy_);
    events_.response(std::move(response));
    responseQueued_ = true;
}

} // namespace qz::platform
