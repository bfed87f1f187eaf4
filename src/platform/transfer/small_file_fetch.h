#pragma once

#include "platform/transfer/url_transfer.h"

#include <cstdint>
#include <functional>
#include <string>
#include <variant>

namespace qz::platform {

// Fetches a small file (such as a signature) into memory under the rules of UrlTransfer: the
// same redirects, protocols, certificates, proxies and time-outs. A body longer than `limit`, or
// a final status other than 2xx, is a failure.
class SmallFileFetch : UrlTransferDelegate {
  public:
    // Called once, from the main loop, with the body or why it could not be had. It may destroy
    // this object.
    using Completion = std::function<void(std::variant<std::string, UrlError> body)>;

    // Starts once the loop runs.
    SmallFileFetch(EventLoop& loop, UrlRequest request, std::uint64_t limit, Completion done);
    SmallFileFetch(const SmallFileFetch&) = delete;
    SmallFileFetch& operator=(const SmallFileFetch&) = delete;

    // The completion is not called after this.
    void cancel() {
        transfer_.cancel();
    }
    bool running() const {
        return transfer_.running();
    }

  private:
    void transferDidReceiveResponse(const UrlResponse& response) override;
    void transferDidReceiveData(std::uint64_t /*length*/) override {}
    void transferDidFinish() override;
    void transferDidFail(const UrlError& error) override;

    Completion done_;
    long status_ = 0;
    std::string url_;
    UrlTransfer transfer_;
};

} // namespace qz::platform
