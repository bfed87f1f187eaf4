#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qz::test {

struct ServedRequest {
    std::string method;
    std::string path; // without the query
    std::vector<std::pair<std::string, std::string>> headers;

    // Case-insensitive; the value without leading blanks.
    std::optional<std::string> header(std::string_view name) const;
};

// An HTTP/1.1 server (libmicrohttpd) on 127.0.0.1 with an ephemeral port, one thread per
// connection, every response with "Connection: close". Starts in the constructor; the destructor
// closes every connection and joins the threads. All setters are thread-safe and apply to later
// requests.
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
    // Served from the file, read at each request.
    void setBodyFromFile(const std::string& path);
    // Each path served from the regular file at that path under the directory, read at each
    // request; 404 where there is none (or the path climbs out with "..").
    void setDirectory(const std::string& path);
    // The exact header value, e.g. "\"v1\""; nullopt: no ETag header.
    void setETag(std::optional<std::string> etag);
    // No Content-Length; chunked transfer encoding.
    void setChunked(bool chunked);
    // A 2xx status serves the body; 204, 304 and 1xx none; any other a short text body.
    void setStatus(int status);
    // Location is sent as given, so it may be a path or an absolute URL.
    void addRedirect(const std::string& fromPath, const std::string& toUrlOrPath, int status = 302);
    // After that many of a response's body bytes, send nothing more but keep the connection open
    // until the server stops.
    void setStallAfter(std::optional<std::size_t> bytes);
    // After that many of a response's body bytes, close the connection.
    void setDropAfter(std::optional<std::size_t> bytes);
    // The body in pieces of chunkBytes with the delay between them; 0 bytes: at full speed.
    void setSlow(std::size_t chunkBytes, std::chrono::milliseconds delay);
    // The body in pieces of chunkBytes, each after the first sent once releasePiece() allows it.
    void setPaced(std::size_t chunkBytes);
    void releasePiece(std::uint64_t count = 1);
    // An If-None-Match naming the ETag gets a 304 with the ETag and no body.
    void setHonourIfNoneMatch(bool honour);
    // Honour "Range: bytes=N-" (only that form) with a 206 of bytes N..end, or a 416 when N is
    // past the end; an If-Range must equal the ETag, and the ETag be strong, else a 200. The
    // stall, drop and pace count each response's own body bytes.
    void setRanges(bool honour);
    // The stall, the drop, the status and the Retry-After only for the next count requests, the
    // later ones served cleanly; nullopt: for every request.
    void setFaultyRequests(std::optional<int> count);
    // Sent as Retry-After on answers that are neither 2xx nor 3xx.
    void setRetryAfter(std::optional<std::string> value);
    // The Content-Type of the body's responses; nullopt: none.
    void setContentType(std::optional<std::string> type);
    // Once that many more requests have been answered, serve this body and ETag instead.
    void switchAfter(int requests, std::string body, std::optional<std::string> etag);

    int requestCount() const;
    std::vector<ServedRequest> requests() const;
    // Body bytes handed to the connections, all requests together (chunk framing not counted).
    std::uint64_t bodyBytesSent() const;

    struct State; // shared with the server's threads

  private:
    std::unique_ptr<State> state_;
    void* daemon_ = nullptr; // MHD_Daemon*
    std::uint16_t port_ = 0;
};

} // namespace qz::test
