#include "support/http_test_server.h"

#include "support/files.h"

#include <glib.h>
#include <microhttpd.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>

namespace qz::test {
namespace {

struct Config {
    std::shared_ptr<const std::string> body = std::make_shared<const std::string>();
    std::string bodyFile;
    std::string directory;
    std::optional<std::string> etag;
    bool chunked = false;
    int status = 200;
    std::map<std::string, std::pair<std::string, int>> redirects;
    std::optional<std::size_t> stallAfter;
    std::optional<std::size_t> dropAfter;
    std::size_t slowChunk = 0;
    std::chrono::milliseconds slowDelay{0};
    std::size_t pacedChunk = 0;
    bool honourIfNoneMatch = false;
    bool ranges = false;
    std::optional<std::string> retryAfter;
    std::optional<std::string> contentType;
};

// The body and ETag switchAfter() puts in place once `left` more requests have been answered.
struct Switch {
    int left;
    std::shared_ptr<const std::string> body;
    std::optional<std::string> etag;
};

bool namesETag(const std::string& list, const std::string& etag) {
    g_auto(GStrv) items = g_strsplit(list.c_str(), ",", -1);
    for (gchar** item = items; *item != nullptr; ++item) {
        if (g_strstrip(*item) == etag || std::string_view(*item) == "*") {
            return true;
        }
    }
    return false;
}

// The file the directory serves at the request's path; empty when there is none.
std::string fileUnder(const std::string& directory, const char* path) {
    g_auto(GStrv) segments = g_strsplit(path, "/", -1);
    for (gchar** segment = segments; *segment != nullptr; ++segment) {
        if (std::string_view(*segment) == "..") {
            return "";
        }
    }
    const std::string file = directory + path;
    return g_file_test(file.c_str(), G_FILE_TEST_IS_REGULAR) ? file : "";
}

} // namespace

struct HttpTestServer::State {
    std::mutex mutex;
    std::condition_variable changed; // a piece is released, or the server stops
    bool stopping = false;
    Config config;
    std::vector<ServedRequest> requests;
    std::atomic<std::uint64_t> bodyBytesSent{0};
    std::uint64_t piecesReleased = 0; // of a paced body
    std::optional<int> faultyLeft;    // nullopt: every request is faulty
    std::optional<Switch> pendingSwitch;

    template <typename Change> void configure(Change change) {
        const std::lock_guard lock(mutex);
        change(config);
    }

    // Records the request and returns the configuration that answers it.
    Config admit(ServedRequest request) {
        const std::lock_guard lock(mutex);
        requests.push_back(std::move(request));
        if (pendingSwitch && pendingSwitch->left-- <= 0) {
            config.body = std::move(pendingSwitch->body);
            config.bodyFile.clear();
            config.etag = std::move(pendingSwitch->etag);
            pendingSwitch.reset();
        }
        Config answering = config;
        if (faultyLeft && *faultyLeft <= 0) {
            answering.stallAfter.reset();
            answering.dropAfter.reset();
            answering.status = 200;
            answering.retryAfter.reset();
        } else if (faultyLeft) {
            --*faultyLeft;
        }
        return answering;
    }

    // False when the server stops meanwhile.
    bool pause(std::chrono::milliseconds delay) {
        std::unique_lock lock(mutex);
        return !changed.wait_for(lock, delay, [&] { return stopping; });
    }

    // False when the server stops before the piece is released.
    bool awaitPiece(std::uint64_t piece) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return stopping || piecesReleased >= piece; });
        return !stopping;
    }
};

namespace {

// One response's content: the configured body from offset on, with its stall, drop and pace.
struct Body {
    HttpTestServer::State* state;
    Config config;
    std::shared_ptr<const std::string> bytes;
    std::uint64_t offset;
};

// pos counts from the response's first byte, so stalls and drops apply to each response.
ssize_t readBody(void* cls, std::uint64_t pos, char* buffer, std::size_t max) {
    auto& [state, c, bytes, offset] = *static_cast<Body*>(cls);
    const std::uint64_t size = bytes->size() - offset;
    const std::uint64_t stall = std::min<std::uint64_t>(c.stallAfter.value_or(size), size);
    const std::uint64_t limit = std::min<std::uint64_t>(c.dropAfter.value_or(size), stall);
    const std::uint64_t piece = c.slowChunk > 0    ? c.slowChunk
                                : c.pacedChunk > 0 ? c.pacedChunk
                                                   : UINT64_MAX;
    if (pos >= size) {
        return MHD_CONTENT_READER_END_OF_STREAM;
    }
    if (pos >= limit) {
        if (limit == stall) {
            state->pause(std::chrono::hours(1)); // ends when the server stops
        }
        return MHD_CONTENT_READER_END_WITH_ERROR; // closes the connection mid-body
    }
    if (pos > 0 && pos % piece == 0 &&
        !(c.pacedChunk > 0 ? state->awaitPiece(pos / piece) : state->pause(c.slowDelay))) {
        return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    const std::uint64_t n = std::min<std::uint64_t>({max, piece - pos % piece, limit - pos});
    state->bodyBytesSent += bytes->copy(buffer, n, offset + pos);
    return static_cast<ssize_t>(n);
}

// Null when the body file cannot be read.
std::shared_ptr<const std::string> bodyBytes(const Config& config) {
    if (config.bodyFile.empty()) {
        return config.body;
    }
    try {
        return std::make_shared<const std::string>(readFile(config.bodyFile));
    } catch (const std::exception&) {
        return nullptr;
    }
}

MHD_Response* contentResponse(HttpTestServer::State* state, const Config& config,
                              std::shared_ptr<const std::string> bytes, std::uint64_t offset) {
    const std::uint64_t size = config.chunked ? MHD_SIZE_UNKNOWN : bytes->size() - offset;
    auto body = std::make_unique<Body>(Body{state, config, std::move(bytes), offset});
    return MHD_create_response_from_callback(size, 256 * 1024, &readBody, body.release(),
                                             [](void* b) { delete static_cast<Body*>(b); });
}

// N of a "Range: bytes=N-" to honour; nullopt for none, any other form, or an If-Range that is
// not the strong ETag.
std::optional<std::uint64_t> rangeStart(const ServedRequest& request, const Config& config) {
    const auto range = request.header("Range");
    if (!range || !range->starts_with("bytes=") || !range->ends_with("-")) {
        return std::nullopt;
    }
    const char* first = range->data() + 6;
    const char* last = range->data() + range->size() - 1;
    std::uint64_t start = 0;
    const auto [end, error] = std::from_chars(first, last, start);
    if (first == last || error != std::errc() || end != last) {
        return std::nullopt;
    }
    const auto ifRange = request.header("If-Range");
    if (ifRange && (!config.etag || config.etag->starts_with("W/") || *ifRange != *config.etag)) {
        return std::nullopt;
    }
    return start;
}

MHD_Result addHeader(void* cls, MHD_ValueKind, const char* name, const char* value) {
    static_cast<ServedRequest*>(cls)->headers.emplace_back(name, value ? value : "");
    return MHD_YES;
}

MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, std::size_t*, void**) {
    auto* state = static_cast<HttpTestServer::State*>(cls);
    ServedRequest request{method, url, {}};
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &addHeader, &request);
    Config config = state->admit(request);

    int status = config.status;
    if (!config.directory.empty()) {
        config.bodyFile = fileUnder(config.directory, url);
        if (config.bodyFile.empty() && status / 100 == 2) {
            status = 404;
        }
    }
    MHD_Response* response = nullptr; // for the configured body: chunking, stalls and drops apply
    std::string contentRange;
    const auto redirect = config.redirects.find(url);
    const auto ifNoneMatch = request.header("If-None-Match");
    const bool serves = redirect == config.redirects.end() && status / 100 == 2 && status != 204;
    std::shared_ptr<const std::string> bytes;
    if (redirect != config.redirects.end()) {
        status = redirect->second.second;
    } else if (serves && config.honourIfNoneMatch && config.etag && ifNoneMatch &&
               namesETag(*ifNoneMatch, *config.etag)) {
        status = 304;
    } else if (serves && (bytes = bodyBytes(config)) == nullptr) {
        status = 500;
    } else if (serves) {
        const std::string size = std::to_string(bytes->size());
        const auto start =
            config.ranges && status == 200 ? rangeStart(request, config) : std::nullopt;
        if (start && *start >= bytes->size()) {
            status = 416;
            contentRange = "bytes */" + size;
        } else {
            if (start) {
                status = 206;
                contentRange = "bytes " + std::to_string(*start) + "-" +
                               std::to_string(bytes->size() - 1) + "/" + size;
            }
            response = contentResponse(state, config, std::move(bytes), start.value_or(0));
        }
    }
    const bool isContent = response != nullptr;
    if (!isContent) {
        std::string text =
            status < 200 || status == 204 || status == 304
                ? ""
                : std::to_string(status) + " " + MHD_get_reason_phrase_for(status) + "\n";
        response = MHD_create_response_from_buffer(text.size(), text.data(), MHD_RESPMEM_MUST_COPY);
    }
    if (redirect != config.redirects.end()) {
        MHD_add_response_header(response, "Location", redirect->second.first.c_str());
    }
    if (config.etag && (isContent || status == 304)) {
        MHD_add_response_header(response, "ETag", config.etag->c_str());
    }
    if (!contentRange.empty()) {
        MHD_add_response_header(response, "Content-Range", contentRange.c_str());
    }
    if (isContent && config.ranges) {
        MHD_add_response_header(response, "Accept-Ranges", "bytes");
    }
    if (isContent && config.contentType) {
        MHD_add_response_header(response, "Content-Type", config.contentType->c_str());
    }
    if (config.retryAfter && status / 100 != 2 && status / 100 != 3) {
        MHD_add_response_header(response, "Retry-After", config.retryAfter->c_str());
    }
    MHD_add_response_header(response, "Connection", "close");
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(status), response);
    MHD_destroy_response(response);
    return queued;
}

} // namespace

std::optional<std::string> ServedRequest::header(std::string_view name) const {
    for (const auto& [field, value] : headers) {
        if (g_ascii_strcasecmp(field.c_str(), std::string(name).c_str()) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

HttpTestServer::HttpTestServer() : state_(std::make_unique<State>()) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto* daemon = MHD_start_daemon(MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL_INTERNAL_THREAD, 0,
                                    nullptr, nullptr, &answer, state_.get(), MHD_OPTION_SOCK_ADDR,
                                    &address, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
                                    std::size_t{1024 * 1024}, MHD_OPTION_END);
    if (daemon == nullptr) {
        throw std::runtime_error("HttpTestServer: cannot listen on 127.0.0.1");
    }
    daemon_ = daemon;
    port_ = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT)->port;
}

HttpTestServer::~HttpTestServer() {
    state_->configure([&](Config&) { state_->stopping = true; }); // ends stalls and pauses
    state_->changed.notify_all();
    MHD_stop_daemon(static_cast<MHD_Daemon*>(daemon_));
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
    state_->configure([&](Config& c) {
        c.body = std::move(shared);
        c.bodyFile.clear();
    });
}

void HttpTestServer::setBodyFromFile(const std::string& path) {
    state_->configure([&](Config& c) { c.bodyFile = path; });
}

void HttpTestServer::setDirectory(const std::string& path) {
    state_->configure([&](Config& c) { c.directory = path; });
}

void HttpTestServer::setETag(std::optional<std::string> etag) {
    state_->configure([&](Config& c) { c.etag = std::move(etag); });
}

void HttpTestServer::setChunked(bool chunked) {
    state_->configure([&](Config& c) { c.chunked = chunked; });
}

void HttpTestServer::setStatus(int status) {
    state_->configure([&](Config& c) { c.status = status; });
}

void HttpTestServer::addRedirect(const std::string& fromPath, const std::string& toUrlOrPath,
                                 int status) {
    state_->configure([&](Config& c) { c.redirects[fromPath] = {toUrlOrPath, status}; });
}

void HttpTestServer::setStallAfter(std::optional<std::size_t> bytes) {
    state_->configure([&](Config& c) { c.stallAfter = bytes; });
}

void HttpTestServer::setDropAfter(std::optional<std::size_t> bytes) {
    state_->configure([&](Config& c) { c.dropAfter = bytes; });
}

void HttpTestServer::setPaced(std::size_t chunkBytes) {
    state_->configure([&](Config& c) {
        c.pacedChunk = chunkBytes;
        state_->piecesReleased = 0;
    });
}

void HttpTestServer::releasePiece(std::uint64_t count) {
    state_->configure([&](Config&) { state_->piecesReleased += count; });
    state_->changed.notify_all();
}

void HttpTestServer::setSlow(std::size_t chunkBytes, std::chrono::milliseconds delay) {
    state_->configure([&](Config& c) {
        c.slowChunk = chunkBytes;
        c.slowDelay = delay;
    });
}

void HttpTestServer::setHonourIfNoneMatch(bool honour) {
    state_->configure([&](Config& c) { c.honourIfNoneMatch = honour; });
}

void HttpTestServer::setRanges(bool honour) {
    state_->configure([&](Config& c) { c.ranges = honour; });
}

void HttpTestServer::setFaultyRequests(std::optional<int> count) {
    state_->configure([&](Config&) { state_->faultyLeft = count; });
}

void HttpTestServer::setRetryAfter(std::optional<std::string> value) {
    state_->configure([&](Config& c) { c.retryAfter = std::move(value); });
}

void HttpTestServer::setContentType(std::optional<std::string> type) {
    state_->configure([&](Config& c) { c.contentType = std::move(type); });
}

void HttpTestServer::switchAfter(int requests, std::string body, std::optional<std::string> etag) {
    auto shared = std::make_shared<const std::string>(std::move(body));
    state_->configure([&](Config&) {
        state_->pendingSwitch = Switch{requests, std::move(shared), std::move(etag)};
    });
}

int HttpTestServer::requestCount() const {
    const std::lock_guard lock(state_->mutex);
    return static_cast<int>(state_->requests.size());
}

std::vector<ServedRequest> HttpTestServer::requests() const {
    const std::lock_guard lock(state_->mutex);
    return state_->requests;
}

std::uint64_t HttpTestServer::bodyBytesSent() const {
    return state_->bodyBytesSent.load();
}

} // namespace qz::test
