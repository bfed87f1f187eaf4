#pragma once

#include <chrono>
#include <cstdint>
#include <curl/curl.h>
#include <map>
#include <optional>

namespace qz::platform {

class EventLoop;

// Runs one libcurl easy handle through a multi handle from the event loop: libcurl's sockets
// become watches of the loop and its timer a delayed call. It also watches for silence:
// libcurl's own low-speed check is only approximate, and its time-out would limit the whole
// transfer.
class CurlMultiDriver {
  public:
    class Client {
      public:
        // After each round of libcurl's work, from the main loop. The client may destroy the
        // driver from here.
        virtual void curlDidRun() = 0;
        // When no activity was noted for the idle interval. Same rules as curlDidRun.
        virtual void curlWentIdle() = 0;

      protected:
        ~Client() = default;
    };

    CurlMultiDriver(EventLoop& loop, Client& client);
    // Stops, then cleans up the multi handle and the easy handle.
    ~CurlMultiDriver();
    CurlMultiDriver(const CurlMultiDriver&) = delete;
    CurlMultiDriver& operator=(const CurlMultiDriver&) = delete;

    // Null when libcurl could not make the handles.
    CURL* easy() const {
        return multi_ != nullptr ? easy_ : nullptr;
    }
    // Hands the easy handle to the multi handle; libcurl starts once the loop runs. With an idle
    // interval (microseconds), the client hears when no activity was noted for that long.
    CURLMcode start(std::optional<std::int64_t> idleIntervalUs);
    // Called from the easy handle's header and data callbacks.
    void noteActivity() {
        lastActivity_ = Clock::now();
    }
    // Takes the easy handle back and removes every source; no call to the client after this.
    void stop();
    // libcurl's result once the easy handle's transfer is done.
    std::optional<CURLcode> result();

  private:
    using Clock = std::chrono::steady_clock;
    static int onSocketChange(CURL* easy, curl_socket_t socket, int what, void* self, void*);
    static int onTimerChange(CURLM* multi, long timeoutMs, void* self);
    void onSocketReady(curl_socket_t socket, short revents);
    void onIdleCheck();
    void armIdleCheck(Clock::duration delay);
    void run(curl_socket_t socket, int events);
    void removeSources();

    EventLoop& loop_;
    Client& client_;
    CURL* easy_ = nullptr;
    CURLM* multi_ = nullptr;
    bool attached_ = false;
    std::map<curl_socket_t, unsigned> socketWatches_;
    unsigned timer_ = 0;
    unsigned idleCheck_ = 0;
    Clock::duration idleInterval_{};
    Clock::time_point lastActivity_;
};

} // namespace qz::platform
