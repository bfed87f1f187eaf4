#pragma once

#include <curl/curl.h>
#include <glib.h>
#include <map>
#include <optional>

namespace qz::platform {

// Runs one libcurl easy handle through a multi handle from the GLib default main context. The
// sockets and libcurl's timer become GLib sources at idle priority, so that a socket that is
// always ready does not starve window redraws. It also watches for silence: libcurl's own
// low-speed check is only approximate, and its time-out would limit the whole transfer.
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

    explicit CurlMultiDriver(Client& client);
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
    CURLMcode start(std::optional<gint64> idleIntervalUs);
    // Called from the easy handle's header and data callbacks.
    void noteActivity() {
        lastActivity_ = g_get_monotonic_time();
    }
    // Takes the easy handle back and removes every source; no call to the client after this.
    void stop();
    // libcurl's result once the easy handle's transfer is done.
    std::optional<CURLcode> result();

  private:
    static int onSocketChange(CURL* easy, curl_socket_t socket, int what, void* self, void*);
    static int onTimerChange(CURLM* multi, long timeoutMs, void* self);
    static gboolean onSocketReady(gint fd, GIOCondition condition, gpointer self);
    static gboolean onTimer(gpointer self);
    static gboolean onIdleCheck(gpointer self);
    void armIdleCheck(gint64 delayUs);
    void run(curl_socket_t socket, int events);
    void removeSources();

    Client& client_;
    CURL* easy_ = nullptr;
    CURLM* multi_ = nullptr;
    bool attached_ = false;
    std::map<curl_socket_t, guint> socketWatches_;
    guint timer_ = 0;
    guint idleCheck_ = 0;
    gint64 idleIntervalUs_ = 0;
    gint64 lastActivity_ = 0;
};

} // namespace qz::platform
