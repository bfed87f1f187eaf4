#pragma once

// The transfer's inside, shared by its two source files; nothing else includes it.

#include "base/translation.h"
#include "platform/system/event_loop.h"
#include "platform/transfer/curl_multi_driver.h"
#include "platform/transfer/curl_request.h"
#include "platform/transfer/header_lines.h"
#include "platform/transfer/transfer_body.h"
#include "platform/transfer/transfer_events.h"
#include "platform/transfer/url_transfer.h"

#include <optional>
#include <string>

namespace qz::platform {

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
    void cancel();
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
    void failLater(std::string failure);

    void curlDidRun() override;
    void curlWentIdle() override {
        failNow("The request timed out.", _("The request timed out."));
    }
    void complete(CURLcode result);
    void failNow(std::string description, std::string shown = {});
    // A failure of the body (its file or its length), which always deletes what was written.
    std::size_t bodyFailed(const std::string& reason);
    // `shown`: the same in the user's language, when it differs.
    void queueFailure(std::string description, bool alwaysDeleteFile, std::string shown = {});
    void queueResponse(long statusCode);
    void stopAll();

    EventLoop& loop_;
    UrlRequest request_;
    char errorBuffer_[CURL_ERROR_SIZE] = {};
    CurlHeaderList headerList_;
    CurlMultiDriver driver_{loop_, *this};
    CURL* easy_ = driver_.easy();

    unsigned startFailureSource_ = 0;
    std::string startFailure_;

    TransferBody body_;
    bool deletesFileUponFailure_ = false;
    bool sawHttps_ = false;
    bool responseQueued_ = false;
    // Set by a callback that aborts the transfer, reported instead of libcurl's error.
    std::optional<std::string> abortReason_;
    bool abortDeletesFile_ = false;

    TransferEvents events_;
};

} // namespace qz::platform
