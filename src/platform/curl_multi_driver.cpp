#include "platform/curl_multi_driver.h"

#include <algorithm>
#include <glib-unix.h>
#include <mutex>

namespace qz::platform {

CurlMultiDriver::CurlMultiDriver(Client& client) : client_(client) {
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

CURLMcode CurlMultiDriver::start(std::optional<gint64> idleIntervalUs) {
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
        idleIntervalUs_ = *idleIntervalUs;
        armIdleCheck(idleIntervalUs_);
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
        g_source_remove(id);
    }
    socketWatches_.clear();
    for (guint* id : {&timer_, &idleCheck_}) {
        if (*id != 0) {
            g_source_remove(*id);
            *id = 0;
        }
    }
}

int CurlMultiDriver::onSocketChange(CURL*, curl_socket_t socket, int what, void* self, void*) {
    auto* driver = static_cast<CurlMultiDriver*>(self);
    if (const auto it = driver->socketWatches_.find(socket); it != driver->socketWatches_.end()) {
        g_source_remove(it->second);
        driver->socketWatches_.erase(it);
    }
    if (what == CURL_POLL_REMOVE || !driver->attached_) {
        return 0;
    }
    int condition = G_IO_HUP | G_IO_ERR;
    if (what == CURL_POLL_IN || what == CURL_POLL_INOUT) {
        condition |= G_IO_IN;
    }
    if (what == CURL_POLL_OUT || what == CURL_POLL_INOUT) {
        condition |= G_IO_OUT;
    }
    driver->socketWatches_[socket] =
        g_unix_fd_add_full(G_PRIORITY_DEFAULT_IDLE, socket, static_cast<GIOCondition>(condition),
                           &CurlMultiDriver::onSocketReady, driver, nullptr);
    return 0;
}

int CurlMultiDriver::onTimerChange(CURLM*, long timeoutMs, void* self) {
    // One timer at a time: a new one replaces the old, and -1 only deletes it.
    auto* driver = static_cast<CurlMultiDriver*>(self);
    if (driver->timer_ != 0) {
        g_source_remove(driver->timer_);
        driver->timer_ = 0;
    }
    if (timeoutMs >= 0 && driver->attached_) {
        driver->timer_ = g_timeout_add_full(G_PRIORITY_DEFAULT_IDLE, static_cast<guint>(timeoutMs),
                                            &CurlMultiDriver::onTimer, driver, nullptr);
    }
    return 0;
}

gboolean CurlMultiDriver::onSocketReady(gint fd, GIOCondition condition, gpointer self) {
    int events = 0;
    if ((condition & (G_IO_IN | G_IO_HUP)) != 0) {
        events |= CURL_CSELECT_IN;
    }
    if ((condition & G_IO_OUT) != 0) {
        events |= CURL_CSELECT_OUT;
    }
    if ((condition & G_IO_ERR) != 0) {
        events |= CURL_CSELECT_ERR;
    }
    // The source may be gone after this (curl dropped the socket, or the driver was destroyed);
    // GLib copes with a destroyed source asking to continue.
    static_cast<CurlMultiDriver*>(self)->run(fd, events);
    return G_SOURCE_CONTINUE;
}

gboolean CurlMultiDriver::onTimer(gpointer self) {
    auto* driver = static_cast<CurlMultiDriver*>(self);
    driver->timer_ = 0; // curl may set a new timer while it runs
    driver->run(CURL_SOCKET_TIMEOUT, 0);
    return G_SOURCE_REMOVE;
}

void CurlMultiDriver::armIdleCheck(gint64 delayUs) {
    const gint64 delayMs = std::max<gint64>(1, (delayUs + 999) / 1000);
    idleCheck_ = g_timeout_add_full(G_PRIORITY_DEFAULT_IDLE, static_cast<guint>(delayMs),
                                    &CurlMultiDriver::onIdleCheck, this, nullptr);
}

gboolean CurlMultiDriver::onIdleCheck(gpointer self) {
    // Re-armed lazily from the last activity, so receiving data costs no timer churn.
    auto* driver = static_cast<CurlMultiDriver*>(self);
    driver->idleCheck_ = 0;
    const gint64 idle = g_get_monotonic_time() - driver->lastActivity_;
    if (idle >= driver->idleIntervalUs_) {
        driver->client_.curlWentIdle(); // may destroy this driver
    } else {
        driver->armIdleCheck(driver->idleIntervalUs_ - idle);
    }
    return G_SOURCE_REMOVE;
}

void CurlMultiDriver::run(curl_socket_t socket, int events) {
    int stillRunning = 0;
    curl_multi_socket_action(multi_, socket, events, &stillRunning);
    client_.curlDidRun(); // may destroy this driver
}

} // namespace qz::platform
