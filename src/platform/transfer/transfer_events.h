#pragma once

#include "platform/transfer/url_transfer.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <variant>

namespace qz::platform {

// The callbacks of a transfer, queued where libcurl reports and delivered later from the main
// loop: one at a time, in order, and none after the final one or after close().
class TransferEvents {
  public:
    explicit TransferEvents(UrlTransferDelegate& delegate) : delegate_(delegate) {}
    ~TransferEvents() {
        *alive_ = false;
    }
    TransferEvents(const TransferEvents&) = delete;
    TransferEvents& operator=(const TransferEvents&) = delete;

    void response(UrlResponse response) {
        queue_.emplace_back(std::move(response));
    }
    // Joins a data event still queued: one delegate call per round of socket activity.
    void data(std::uint64_t length) {
        if (!queue_.empty()) {
            if (auto* pending = std::get_if<Data>(&queue_.back())) {
                pending->length += length;
                return;
            }
        }
        queue_.emplace_back(Data{length});
    }
    void finished();
    void failed(UrlError error);

    // Neither finished nor failed has been queued, and close() was not called.
    bool active() const {
        return state_ == State::Active;
    }
    // The final callback was made, or close() was called.
    bool ended() const {
        return state_ == State::Ended;
    }
    // Drops what is queued; nothing more is delivered.
    void close() {
        state_ = State::Ended;
        queue_.clear();
    }
    // The delegate may destroy this object's owner from its callbacks.
    void deliver();

  private:
    enum class State { Active, Outcome, Ended };
    struct Data {
        std::uint64_t length;
    };
    struct Finished {};
    using Event = std::variant<UrlResponse, Data, Finished, UrlError>;

    UrlTransferDelegate& delegate_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    State state_ = State::Active;
    std::deque<Event> queue_;
    bool delivering_ = false;
};

} // namespace qz::platform
