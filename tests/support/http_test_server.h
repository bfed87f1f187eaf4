#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace qz::test {

struct ServedRequest {
    std::string method;
    std::string path; // request target as sent, query included
    std::vector<std::pair<std::string, std::string>> headers;

    // Case-insensitive; the value trimmed of surrounding blanks.
    std::optional<std::string> header(std::string_view name) const;
};

// An HTTP/1.1 server on 127.0.0.1 with an ephemeral port, one thread per connection, every
// response with "Connection: close". Starts in the constructor; the destructor closes every
// connection and joins the threads. All setters are thread-safe and apply to later requests.
class HttpTestServer {
  public:
    HttpTestServer();
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    std::uint16_t port() const;
    // http://127.0.0.1:PORT/path
    std::string url(const std::string& path = "/InstallAgent.zip") const;

    // Served for any path without a redirect.
    void setBody(std::string bytes);
    // Served streaming from the file, opened at each request; Content-Length from its size.
    void setBodyFromFile(const std::string& path);
    // The exact header value, e.g. "\"v1\""; nullopt: no ETag header.
    void setETag(std::optional<std::string> etag);
    // No Content-Length; chunked transfer encoding.
    void setChunked(bool chunked);
    // A 2xx status serves the body; 204, 304 and 1xx none; any other a short text body.
    void setStatus(int status);
    // Location is sent as given, so it may be a path or an absolute URL.
    void addRedirect(const std::string& fromPath, const std::string& toUrlOrPath, int status = 302);
    // After that many body bytes, send nothing more but keep the connection open until the
    // client closes it or the server stops.
    void setStallAfter(std::optional<std::size_t> bytes);
    // After that many body bytes, close the connection.
    void setDropAfter(std::optional<std::size_t> bytes);
    // The body in pieces of chunkBytes with the delay between them; 0 bytes: at full speed.
    void setSlow(std::size_t chunkBytes, std::chrono::milliseconds delay);
    // An If-None-Match naming the ETag gets a 304 with the ETag and no body.
    void setHonourIfNoneMatch(bool honour);

    int requestCount() const;
    std::vector<ServedRequest> requests() const;
    // Body bytes written to sockets, all requests together (chunk framing not counted).
    std::uint64_t bodyBytesSent() const;
    // Waits until at least count requests arrived; false on time-out.
    bool waitForRequests(int count, double timeoutSeconds);

  private:
    struct Config {
        std::shared_ptr<const std::string> body;
        std::string bodyFile;
        std::optional<std::string> etag;
        bool chunked = false;
        int status = 200;
        std::map<std::string, std::pair<std::string, int>> redirects;
        std::optional<std::size_t> stallAfter;
        std::optional<std::size_t> dropAfter;
        std::size_t slowChunk = 0;
        std::chrono::milliseconds slowDelay{0};
        bool honourIfNoneMatch = false;
    };

    struct Connection {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };

    void acceptLoop();
    void serve(int fd);
    void respond(int fd, const ServedRequest& request, const Config& config);
    bool sendAll(int fd, std::string_view data, bool countsAsBody);
    bool pause(std::chrono::milliseconds delay) const;
    void holdOpen(int fd) const;
    bool waitFor(int fd, short events) const;

    int listenFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::uint16_t port_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable requestArrived_;
    Config config_;
    std::vector<ServedRequest> requests_;
    std::atomic<std::uint64_t> bodyBytesSent_{0};

    std::thread acceptor_;
    std::list<Connection> connections_; // touched by the acceptor, then by the destructor
};

} // namespace qz::test
