#include "support/http_test_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qz::test {
namespace {

constexpr std::size_t kMaxRequestHead = 64 * 1024;
constexpr std::size_t kPieceSize = 256 * 1024;

char lowered(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lowered(x) == lowered(y);
           });
}

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

bool hasNoBody(int status) {
    return status < 200 || status == 204 || status == 304;
}

// "http://host:port/path" (proxy form) or "/path" -> "/path"
std::string originForm(const std::string& target) {
    const auto scheme = target.find("://");
    if (scheme == std::string::npos || target.front() == '/') {
        return target;
    }
    const auto slash = target.find('/', scheme + 3);
    return slash == std::string::npos ? "/" : target.substr(slash);
}

bool etagListNames(std::string_view list, std::string_view etag) {
    while (!list.empty()) {
        const auto comma = list.find(',');
        const auto item = trimmed(list.substr(0, comma));
        if (item == "*" || item == etag) {
            return true;
        }
        if (comma == std::string_view::npos) {
            break;
        }
        list.remove_prefix(comma + 1);
    }
    return false;
}

std::optional<ServedRequest> parseRequestHead(std::string_view head) {
    ServedRequest request;
    auto lineEnd = head.find("\r\n");
    const auto requestLine = head.substr(0, lineEnd);
    const auto firstSpace = requestLine.find(' ');
    const auto secondSpace = requestLine.find(' ', firstSpace + 1);
    if (firstSpace == std::string_view::npos || secondSpace == std::string_view::npos) {
        return std::nullopt;
    }
    request.method = requestLine.substr(0, firstSpace);
    request.path = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    while (lineEnd != std::string_view::npos) {
        head.remove_prefix(lineEnd + 2);
        lineEnd = head.find("\r\n");
        const auto line = head.substr(0, lineEnd);
        const auto colon = line.find(':');
        if (line.empty() || colon == std::string_view::npos) {
            continue;
        }
        request.headers.emplace_back(std::string(trimmed(line.substr(0, colon))),
                                     std::string(trimmed(line.substr(colon + 1))));
    }
    return request;
}

// The body of one response: a string shared with the configuration, or a file read piecewise.
class BodySource {
  public:
    explicit BodySource(std::shared_ptr<const std::string> bytes)
        : bytes_(std::move(bytes)), size_(bytes_->size()) {}
    explicit BodySource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
    ~BodySource() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    BodySource(const BodySource&) = delete;
    BodySource& operator=(const BodySource&) = delete;

    std::uint64_t size() const {
        return size_;
    }
    // Up to length bytes from offset; empty when the file cannot be read.
    std::string_view read(std::uint64_t offset, std::size_t length) {
        if (bytes_) {
            return std::string_view(*bytes_).substr(offset, length);
        }
        scratch_.resize(length);
        const ssize_t got = ::pread(fd_, scratch_.data(), length, static_cast<off_t>(offset));
        return got > 0 ? std::string_view(scratch_.data(), static_cast<std::size_t>(got))
                       : std::string_view();
    }

  private:
    std::shared_ptr<const std::string> bytes_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::vector<char> scratch_;
};

} // namespace

std::optional<std::string> ServedRequest::header(std::string_view name) const {
    for (const auto& [fieldName, value] : headers) {
        if (equalsIgnoringCase(fieldName, name)) {
            return std::string(trimmed(value));
        }
    }
    return std::nullopt;
}

HttpTestServer::HttpTestServer() {
    config_.body = std::make_shared<const std::string>();
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("HttpTestServer: pipe failed");
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];

    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (listenFd_ < 0 ||
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 64) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const std::string reason = std::strerror(errno);
        if (listenFd_ >= 0) {
            ::close(listenFd_);
        }
        ::close(wakeRead_);
        ::close(wakeWrite_);
        throw std::runtime_error("HttpTestServer: cannot listen on 127.0.0.1: " + reason);
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

HttpTestServer::~HttpTestServer() {
    // The byte stays in the pipe, so every poll that includes it wakes from now on.
    const char byte = 'x';
    [[maybe_unused]] const ssize_t written = ::write(wakeWrite_, &byte, 1);
    acceptor_.join();
    for (auto& connection : connections_) {
        connection.thread.join();
    }
    ::close(listenFd_);
    ::close(wakeRead_);
    ::close(wakeWrite_);
}

std::uint16_t HttpTestServer::port() const {
    return port_;
}

std::string HttpTestServer::url(const std::string& path) const {
    const std::string separator = (!path.empty() && path.front() == '/') ? "" : "/";
    return "http://127.0.0.1:" + std::to_string(port_) + separator + path;
}

void HttpTestServer::setBody(std::string bytes) {
    auto shared = std::make_shared<const std::string>(std::move(bytes));
    const std::lock_guard lock(mutex_);
    config_.body = std::move(shared);
    config_.bodyFile.clear();
}

void HttpTestServer::setBodyFromFile(const std::string& path) {
    const std::lock_guard lock(mutex_);
    config_.bodyFile = path;
}

void HttpTestServer::setETag(std::optional<std::string> etag) {
    const std::lock_guard lock(mutex_);
    config_.etag = std::move(etag);
}

void HttpTestServer::setChunked(bool chunked) {
    const std::lock_guard lock(mutex_);
    config_.chunked = chunked;
}

void HttpTestServer::setStatus(int status) {
    const std::lock_guard lock(mutex_);
    config_.status = status;
}

void HttpTestServer::addRedirect(const std::string& fromPath, const std::string& toUrlOrPath,
                                 int status) {
    const std::lock_guard lock(mutex_);
    config_.redirects[fromPath] = {toUrlOrPath, status};
}

void HttpTestServer::setStallAfter(std::optional<std::size_t> bytes) {
    const std::lock_guard lock(mutex_);
    config_.stallAfter = bytes;
}

void HttpTestServer::setDropAfter(std::optional<std::size_t> bytes) {
    const std::lock_guard lock(mutex_);
    config_.dropAfter = bytes;
}

void HttpTestServer::setSlow(std::size_t chunkBytes, std::chrono::milliseconds delay) {
    const std::lock_guard lock(mutex_);
    config_.slowChunk = chunkBytes;
    config_.slowDelay = delay;
}

void HttpTestServer::setHonourIfNoneMatch(bool honour) {
    const std::lock_guard lock(mutex_);
    config_.honourIfNoneMatch = honour;
}

int HttpTestServer::requestCount() const {
    const std::lock_guard lock(mutex_);
    return static_cast<int>(requests_.size());
}

std::vector<ServedRequest> HttpTestServer::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

std::uint64_t HttpTestServer::bodyBytesSent() const {
    return bodyBytesSent_.load();
}

bool HttpTestServer::waitForRequests(int count, double timeoutSeconds) {
    std::unique_lock lock(mutex_);
    return requestArrived_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                                    [&] { return static_cast<int>(requests_.size()) >= count; });
}

bool HttpTestServer::waitFor(int fd, short events) const {
    pollfd fds[2] = {{fd, events, 0}, {wakeRead_, POLLIN, 0}};
    for (;;) {
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        return ready > 0 && fds[1].revents == 0;
    }
}

bool HttpTestServer::pause(std::chrono::milliseconds delay) const {
    pollfd wake{wakeRead_, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + delay;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return true;
        }
        const int ready = ::poll(&wake, 1, static_cast<int>(left.count()));
        if (ready > 0) {
            return false;
        }
    }
}

void HttpTestServer::holdOpen(int fd) const {
    char buffer[4096];
    while (waitFor(fd, POLLIN)) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            return; // the client closed
        }
    }
}

bool HttpTestServer::sendAll(int fd, std::string_view data, bool countsAsBody) {
    while (!data.empty()) {
        const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, POLLOUT)) {
                continue;
            }
            return false;
        }
        if (countsAsBody) {
            bodyBytesSent_ += static_cast<std::uint64_t>(sent);
        }
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

void HttpTestServer::acceptLoop() {
    for (;;) {
        if (!waitFor(listenFd_, POLLIN)) {
            return;
        }
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        connections_.remove_if([](Connection& connection) {
            if (!connection.finished->load()) {
                return false;
            }
            connection.thread.join();
            return true;
        });
        auto finished = std::make_shared<std::atomic<bool>>(false);
        std::thread thread([this, fd, finished] {
            serve(fd);
            ::close(fd);
            finished->store(true);
        });
        connections_.push_back({std::move(thread), std::move(finished)});
    }
}

void HttpTestServer::serve(int fd) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (head.size() > kMaxRequestHead || !waitFor(fd, POLLIN)) {
            return;
        }
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            return;
        }
        if (got > 0) {
            head.append(buffer, static_cast<std::size_t>(got));
        }
    }
    const auto request = parseRequestHead(head);
    if (!request) {
        sendAll(fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
                false);
        return;
    }
    Config config;
    {
        const std::lock_guard lock(mutex_);
        requests_.push_back(*request);
        config = config_;
    }
    requestArrived_.notify_all();
    respond(fd, *request, config);
    ::shutdown(fd, SHUT_WR);
}

void HttpTestServer::respond(int fd, const ServedRequest& request, const Config& config) {
    const bool head = request.method == "HEAD";
    const std::string path = originForm(request.path);
    auto redirect = config.redirects.find(path);
    if (redirect == config.redirects.end()) {
        redirect = config.redirects.find(path.substr(0, path.find('?')));
    }

    int status = config.status;
    std::string headers;
    std::unique_ptr<BodySource> body;
    bool isContent = false; // the configured body, to which chunking, stalls and drops apply
    if (redirect != config.redirects.end()) {
        status = redirect->second.second;
        headers += "Location: " + redirect->second.first + "\r\n";
        body = std::make_unique<BodySource>(std::make_shared<const std::string>("Redirecting\n"));
    } else if (status / 100 == 2 && status != 204) {
        const auto ifNoneMatch = request.header("If-None-Match");
        if (config.honourIfNoneMatch && config.etag && ifNoneMatch &&
            etagListNames(*ifNoneMatch, *config.etag)) {
            status = 304;
        } else if (!config.bodyFile.empty()) {
            const int file = ::open(config.bodyFile.c_str(), O_RDONLY | O_CLOEXEC);
            struct stat info {};
            if (file >= 0 && ::fstat(file, &info) == 0) {
                body = std::make_unique<BodySource>(file, static_cast<std::uint64_t>(info.st_size));
                isContent = true;
            } else {
                if (file >= 0) {
                    ::close(file);
                }
                status = 500;
            }
        } else {
            body = std::make_unique<BodySource>(config.body);
            isContent = true;
        }
    }
    if (!body && !hasNoBody(status)) {
        body = std::make_unique<BodySource>(std::make_shared<const std::string>(
            std::to_string(status) + " " + reasonPhrase(status) + "\n"));
    }
    if (config.etag && (isContent || status == 304)) {
        headers += "ETag: " + *config.etag + "\r\n";
    }
    const bool chunked = isContent && config.chunked;
    if (body) {
        headers += isContent ? "Content-Type: application/octet-stream\r\n"
                             : "Content-Type: text/plain\r\n";
        headers += chunked ? std::string("Transfer-Encoding: chunked\r\n")
                           : "Content-Length: " + std::to_string(body->size()) + "\r\n";
    }
    const std::string statusLine =
        "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n";
    if (!sendAll(fd, statusLine + headers + "Connection: close\r\n\r\n", false) || head || !body) {
        return;
    }

    std::uint64_t limit = body->size();
    bool stalls = false;
    if (isContent && config.stallAfter && *config.stallAfter < limit) {
        limit = *config.stallAfter;
        stalls = true;
    }
    if (isContent && config.dropAfter && *config.dropAfter < limit) {
        limit = *config.dropAfter;
        stalls = false;
    }
    const bool slow = isContent && config.slowChunk > 0;
    const std::size_t piece = slow ? config.slowChunk : kPieceSize;
    std::uint64_t offset = 0;
    while (offset < limit) {
        const auto wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(piece, limit - offset));
        const std::string_view data = body->read(offset, wanted);
        if (data.empty()) {
            return; // the file shrank or failed: the client sees a short body
        }
        if (chunked) {
            char size[32];
            std::snprintf(size, sizeof size, "%zx\r\n", data.size());
            if (!sendAll(fd, size, false)) {
                return;
            }
        }
        if (!sendAll(fd, data, true) || (chunked && !sendAll(fd, "\r\n", false))) {
            return;
        }
        offset += data.size();
        if (slow && offset < limit && !pause(config.slowDelay)) {
            return;
        }
    }
    if (offset < body->size()) {
        if (stalls) {
            holdOpen(fd);
        }
        return; // a drop: the caller closes the connection mid-body
    }
    if (chunked) {
        sendAll(fd, "0\r\n\r\n", false);
    }
}

} // namespace qz::test
