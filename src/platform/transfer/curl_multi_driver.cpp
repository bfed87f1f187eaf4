#include "platform/transfer/curl_multi_driver.h"

#include "platform/system/event_loop.h"

#include <algorithm>
#include <mutex>

namespace qz::platform {

CurlMultiDriver::CurlMultiDriver(EventLoop& loop, Client& client) : loop_(loop), client_(client) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    if ((easy_ = curl_easy_init()) == nullptr || (multi_ = curl_multi_init()) == nullptr) {
        return;
    }
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlMultiDriver::onSocketChange);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlMultiDriver::onTimerChange);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
}

CurlMultiDriver::~CurlMultiDriver() {
    stop();
    if (multi_ != nullptr) {
        curl_multi_cleanup(multi_);
    }
    removeSources();
    if (easy_ != nullptr) {
        curl_easy_cleanup(easy_);
    }
}

CURLMcode CurlMultiDriver::start(std::optional<std::int64_t> idleIntervalUs) {
    // Set first: adding the handle already asks for a timer.
    attached_ = true;
    const CURLMcode code = curl_multi_add_handle(multi_, easy_);
    if (code != CURLM_OK) {
        attached_ = false;
        removeSources();
        return code;
    }
    noteActivity();
    if (idleIntervalUs) {
        idleInterval_ = std::chrono::microseconds(*idleIntervalUs);
        armIdleCheck(idleInterval_);
    }
    return code;
}

void CurlMultiDriver::stop() {
    if (attached_) {
        // Cleared first so the socket and timer callbacks made from here only remove. Never
        // called from inside a libcurl callback.
        attached_ = false;
        curl_multi_remove_handle(multi_, easy_);
    }
    removeSources();
}

std::optional<CURLcode> CurlMultiDriver::result() {
    int queued = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
            return message->data.result;
        }
    }
    return std::nullopt;
}

void CurlMultiDriver::removeSources() {
    for (const auto& [socket, id] : socketWatches_) {
        loop_.unwatch(id);
    }
    socketWatches_.clear();
    loop_.cancelCall(timer_);
    loop_.cancelCall(idleCheck_);
    timer_ = idleCheck_ = 0;
}

int CurlMultiDriver::onSocketChange(CURL*, curl_socket_t socket, int what, void* self, void*) {
    auto* driver = static_cast<CurlMultiDriver*>(self);
    if (const auto it = driver->socketWatches_.find(socket); it != driver->socketWatches_.end()) {
        driver->loop_.unwatch(it->second);
        driver->socketWatches_.erase(it);
    }
    if (what == CURL_POLL_REMOVE || !driver->attached_) {
        return 0;
    }
    short events = 0;
    if (what == CURL_POLL_IN || what == CURL_POLL_INOUT) {
        events |= POLLIN;
    }
    if (what == CURL_POLL_OUT || what == CURL_POLL_INOUT) {
        events |= POLLOUT;
    }
    driver->socketWatches_[socket] =
        driver->loop_.watch(socket, events, [driver, socket](short revents) {
            driver->onSocketReady(socket, revents);
        });
    return 0;
}

int CurlMultiDriver::onTimerChange(CURLM*, long timeoutMs, void* self) {
    // One timer at a time: a new one replaces the old, and -1 only deletes it.
    auto* driver = static_cast<CurlMultiDriver*>(self);
    driver->loop_.cancelCall(driver->timer_);
    driver->timer_ = 0;
    if (timeoutMs >= 0 && driver->attached_) {
        driver->timer_ = driver->loop_.callLater(static_cast<double>(timeoutMs) / 1000.0, [driver] {
            driver->timer_ = 0; // curl may set a new timer while it runs
            driver->run(CURL_SOCKET_TIMEOUT, 0);
        });
    }
    return 0;
}

void CurlMultiDriver::onSocketReady(curl_socket_t socket, short revents) {
    int events = 0;
    if ((revents & (POLLIN | POLLHUP)) != 0) {
        events |= CURL_CSELECT_IN;
    }
    if ((revents & POLLOUT) != 0) {
        events |= CURL_CSELECT_OUT;
    }
    if ((revents & (POLLERR | POLLNVAL)) != 0) {
        events |= CURL_CSELECT_ERR;
    }
    run(socket, events);
}

void CurlMultiDriver::armIdleCheck(Clock::duration delay) {
    idleCheck_ =
        loop_.callLater(std::chrono::duration<double>(delay).count(), [this] { onIdleCheck(); });
}

void CurlMultiDriver::onIdleCheck() {
    // Re-armed lazily from the last activity, so receiving data costs no timer churn.
    idleCheck_ = 0;
    const auto idle = Clock::now() - lastActivity_;
    if (idle >= idleInterval_) {
        client_.curlWentIdle(); // may destroy this driver
    } else {
        armIdleCheck(idleInterval_ - idle);
    }
}

void CurlMultiDriver::run(curl_socket_t socket, int events) {
    int stillRunning = 0;
    curl_multi_socket_action(multi_, socket, events, &stillRunning);
    client_.curlDidRun(); // may destroy this driver
}

} // namespace qz::platform
