#include "platform/transfer/small_file_fetch.h"

#include "base/translation.h"

namespace qz::platform {

SmallFileFetch::SmallFileFetch(EventLoop& loop, UrlRequest request, std::uint64_t limit,
                               Completion done)
    : done_(std::move(done)), transfer_(loop, std::move(request), *this) {
    transfer_.setMaximumBodyLength(limit);
    transfer_.setKeepsBody(true);
}

void SmallFileFetch::transferDidReceiveResponse(const UrlResponse& response) {
    status_ = response.statusCode;
    url_ = response.url;
}

void SmallFileFetch::transferDidFinish() {
    // The completion may destroy this object.
    const Completion done = std::move(done_);
    if (status_ / 100 != 2) {
        done(UrlError{"The server answered with HTTP status " + std::to_string(status_) + ".", url_,
                      formatText(_("The server answered with HTTP status %ld."), status_)});
        return;
    }
    done(transfer_.body());
}

void SmallFileFetch::transferDidFail(const UrlError& error) {
    const Completion done = std::move(done_);
    done(error);
}

} // namespace qz::platform
