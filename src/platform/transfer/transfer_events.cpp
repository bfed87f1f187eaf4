#include "platform/transfer/transfer_events.h"

#include <type_traits>

namespace qz::platform {

void TransferEvents::finished() {
    queue_.emplace_back(Finished{});
    state_ = State::Outcome;
}

void TransferEvents::failed(UrlError error) {
    queue_.emplace_back(std::move(error));
    state_ = State::Outcome;
}

void TransferEvents::deliver() {
    // A delegate running a nested main loop lets more events queue; the outer call delivers them.
    if (delivering_) {
        return;
    }
    delivering_ = true;
    const std::shared_ptr<bool> alive = alive_;
    while (!queue_.empty() && state_ != State::Ended) {
        Event event = std::move(queue_.front());
        queue_.pop_front();
        if (std::holds_alternative<Finished>(event) || std::holds_alternative<UrlError>(event)) {
            state_ = State::Ended;
        }
        std::visit(
            [this](auto& item) {
                using Item = std::decay_t<decltype(item)>;
                if constexpr (std::is_same_v<Item, UrlResponse>) {
                    delegate_.transferDidReceiveResponse(item);
                } else if constexpr (std::is_same_v<Item, Data>) {
                    delegate_.transferDidReceiveData(item.length);
                } else if constexpr (std::is_same_v<Item, Finished>) {
                    delegate_.transferDidFinish();
                } else {
                    delegate_.transferDidFail(item);
                }
            },
            event);
        if (!*alive) {
            return; // the delegate destroyed the transfer
        }
    }
    delivering_ = false;
}

} // namespace qz::platform
