#include "platform/url_transfer.h"

#include "platform/url_text.h"
#include "platform/write_all.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <deque>
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>
#include <variant>

namespace qz::platform {
namespace {

constexpr long kReceiveBufferSize = 256 * 1024;
constexpr long kMaxRedirects = 10;
constexpr std::size_t kWriteBatch = 256 * 1024;

char lowered(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lowered(x) == lowered(y);
           });
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::optional<std::string>
fieldNamed(const std::vector<std::pair<std::string, std::string>>& fields, std::string_view name) {
    for (const auto& [fieldName, value] : fields) {
        if (equalsIgnoringCase(trimmed(fieldName), trimmed(name))) {
            return std::string(trimmed(value));
        }
    }
    return std::nullopt;
}

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

std::optional<std::string> UrlResponse::headerField(std::string_view name) const {
    return fieldNamed(headerFields, name);
}

class UrlTransfer::Impl {
  public:
    Impl(UrlRequest request, UrlTransferDelegate& delegate);
    ~Impl();

    void setDestination(const std::string& path, bool allowOverwrite) {
        destination_ = path;
        allowOverwrite_ = allowOverwrite;
    }
    void setDeletesFileUponFailure(bool deletes) {
        deletesFileUponFailure_ = deletes;
    }
    void cancel();
    bool running() const {
        return phase_ != Phase::Ended;
    }

  private:
    // Active: curl is working. Completed: the outcome is queued but not yet delivered. Ended: the
    // final callback was made, or the transfer was cancelled.
    enum class Phase { Active, Completed, Ended };
    struct Data {
        std::uint64_t length;
    };
    struct Finished {};
    using Event = std::variant<UrlResponse, Data, Finished, UrlError>;

    // libcurl callbacks: they only record, never call the delegate.
    static std::size_t onHeaderLine(char* buffer, std::size_t size, std::size_t count, void* self);
    static std::size_t onBody(char* buffer, std::size_t size, std::size_t count, void* self);
    static int onSocketChange(CURL* easy, curl_socket_t socket, int what, void* self, void*);
    static int onTimerChange(CURLM* multi, long timeoutMs, void* self);

    // GLib callbacks.
    static gboolean onSocketReady(gint fd, GIOCondition condition, gpointer self);
    static gboolean onCurlTimer(gpointer self);
    static gboolean onIdleCheck(gpointer self);
    static gboolean onStartFailure(gpointer self);

    std::size_t receiveHeaderLine(std::string_view line);
    std::size_t endOfHeaderBlock(std::size_t lineSize);
    std::size_t receiveBody(const char* data, std::size_t length);
    void touch() {
        lastActivity_ = g_get_monotonic_time();
    }
    void armIdleTimer(gint64 delayUs);

    void drive(curl_socket_t socket, int events);
    void collectCompletion();
    void complete(CURLcode result);
    void failNow(std::string description);
    void queueFailure(std::string description, bool alwaysDeleteFile);
    void queueResponse(long statusCode);
    std::string describe(CURLcode result) const;
    std::string effectiveUrl() const;
    void detachFromCurl();
    void removeSources();
    bool openDestination();
    bool closeDestination();
    bool flushWrites();
    void removeDestination();
    void dispatch();

    UrlRequest request_;
    UrlTransferDelegate& delegate_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    CURL* easy_ = nullptr;
    CURLM* multi_ = nullptr;
    curl_slist* headerList_ = nullptr;
    char errorBuffer_[CURL_ERROR_SIZE] = {};
    bool attached_ = false;

    std::map<curl_socket_t, guint> socketWatches_;
    guint curlTimer_ = 0;
    guint idleTimer_ = 0;
    guint startFailureSource_ = 0;
    std::string startFailure_;
    gint64 timeoutUs_ = 0;
    gint64 lastActivity_ = 0;

    std::string destination_;
    bool allowOverwrite_ = false;
    bool deletesFileUponFailure_ = false;
    int fd_ = -1;
    std::string pendingWrite_;
    bool ownsFile_ = false; // this transfer created or truncated the destination
    bool fileIsRegular_ = false;
    dev_t fileDevice_ = 0;
    ino_t fileInode_ = 0;

    std::vector<std::pair<std::string, std::string>> headerFields_;
    bool sawHttps_ = false;
    bool responseQueued_ = false;
    // Set by a callback that aborts the transfer, reported instead of libcurl's error.
    std::optional<std::string> abortReason_;
    bool abortDeletesFile_ = false;

    Phase phase_ = Phase::Active;
    std::deque<Event> events_;
    bool dispatching_ = false;
};

UrlTransfer::Impl::Impl(UrlRequest request, UrlTransferDelegate& delegate)
    : request_(std::move(request)), delegate_(delegate) {
    initialiseCurlOnce();
    const bool timed = std::isfinite(request_.timeoutInterval) && request_.timeoutInterval > 0;
    timeoutUs_ = timed ? static_cast<gint64>(std::min(request_.timeoutInterval, 1.0e7) * 1.0e6) : 0;

    if (request_.url.empty()) {
        startFailure_ = "The URL is empty.";
    } else if ((easy_ = curl_easy_init()) == nullptr || (multi_ = curl_multi_init()) == nullptr) {
        startFailure_ = "Could not start the transfer.";
    }
    if (!startFailure_.empty()) {
        startFailureSource_ =
            g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, &Impl::onStartFailure, this, nullptr);
        return;
    }

    curl_easy_setopt(easy_, CURLOPT_URL, request_.url.c_str());
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_);
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, kMaxRedirects);
    // A proxy's answer to CONNECT is not a response of the server.
    curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    // Redirects from an https URL may only go to https; a later downgrade is caught per response.
    const bool secure = startsWithIgnoringCase(trimmed(request_.url), "https:");
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
#else
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS,
                     secure ? static_cast<long>(CURLPROTO_HTTPS)
                            : static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    if (timed) {
        curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeoutUs_ / 1000));
    }
    if (const char* caFile = std::getenv("SSL_CERT_FILE"); caFile != nullptr && *caFile != '\0') {
        curl_easy_setopt(easy_, CURLOPT_CAINFO, caFile);
    }
    curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &Impl::onHeaderLine);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &Impl::onBody);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    for (const auto& [name, value] : request_.extraHeaders) {
        // "Name;" is libcurl's way to send a header with an empty value.
        const std::string header = value.empty() ? name + ";" : name + ": " + value;
        headerList_ = curl_slist_append(headerList_, header.c_str());
    }
    if (headerList_ != nullptr) {
        curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headerList_);
    }

    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &Impl::onSocketChange);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &Impl::onTimerChange);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);

    // Set first: adding the handle already asks for a timer.
    attached_ = true;
    if (const CURLMcode code = curl_multi_add_handle(multi_, easy_); code != CURLM_OK) {
        attached_ = false;
        removeSources();
        startFailure_ = std::string("Could not start the transfer: ") + curl_multi_strerror(code);
        startFailureSource_ =
            g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, &Impl::onStartFailure, this, nullptr);
        return;
    }
    touch();
    if (timed) {
        armIdleTimer(timeoutUs_);
    }
}

UrlTransfer::Impl::~Impl() {
    *alive_ = false;
    cancel();
    detachFromCurl();
    if (multi_ != nullptr) {
        curl_multi_cleanup(multi_);
    }
    removeSources();
    if (easy_ != nullptr) {
        curl_easy_cleanup(easy_);
    }
    curl_slist_free_all(headerList_);
}

void UrlTransfer::Impl::cancel() {
    if (phase_ == Phase::Ended) {
        return;
    }
    phase_ = Phase::Ended;
    events_.clear();
    detachFromCurl();
    removeSources();
    closeDestination();
    removeDestination();
}

std::size_t UrlTransfer::Impl::onHeaderLine(char* buffer, std::size_t size, std::size_t count,
                                            void* self) {
    return static_cast<Impl*>(self)->receiveHeaderLine(std::string_view(buffer, size * count));
}

std::size_t UrlTransfer::Impl::receiveHeaderLine(std::string_view line) {
    touch();
    if (responseQueued_) {
        return line.size(); // trailers after a chunked body
    }
    if (startsWithIgnoringCase(line, "HTTP/")) {
        // Each response of the redirect chain (and any 1xx) starts over; the last one counts.
        headerFields_.clear();
        char* url = nullptr;
        curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &url);
        const std::string_view current = url != nullptr ? url : "";
        if (startsWithIgnoringCase(current, "https:")) {
            sawHttps_ = true;
        } else if (sawHttps_) {
            abortReason_ = "Refused to follow a redirect from HTTPS to HTTP.";
            return 0;
        }
        return line.size();
    }
    if (line == "\r\n" || line == "\n") {
        return endOfHeaderBlock(line.size());
    }
    const std::string_view content = trimmed(line);
    if (content.empty()) {
        return line.size();
    }
    if ((line.front() == ' ' || line.front() == '\t') && !headerFields_.empty()) {
        auto& value = headerFields_.back().second;
        value += value.empty() ? "" : " ";
        value += content;
        return line.size();
    }
    const auto colon = line.find(':');
    if (colon != std::string_view::npos) {
        headerFields_.emplace_back(std::string(trimmed(line.substr(0, colon))),
                                   std::string(trimmed(line.substr(colon + 1))));
    }
    return line.size();
}

std::size_t UrlTransfer::Impl::endOfHeaderBlock(std::size_t lineSize) {
    long status = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    // libcurl follows a 3xx with a non-empty Location (or fails on it); another block comes.
    const auto location = fieldNamed(headerFields_, "Location");
    if (status < 200 || (status / 100 == 3 && location && !location->empty())) {
        return lineSize;
    }
    if (status >= 400) {
        return 0; // complete() reports the status; the error page is not wanted
    }
    queueResponse(status);
    return lineSize;
}

std::size_t UrlTransfer::Impl::onBody(char* buffer, std::size_t size, std::size_t count,
                                      void* self) {
    return static_cast<Impl*>(self)->receiveBody(buffer, size * count);
}

std::size_t UrlTransfer::Impl::receiveBody(const char* data, std::size_t length) {
    touch();
    if (length == 0) {
        return 0;
    }
    if (!responseQueued_) {
        // A body whose header block did not end as expected; it is the final one all the same.
        long status = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 400) {
            return 0; // complete() reports the status
        }
        queueResponse(status);
    }
    if (!openDestination()) {
        return 0;
    }
    if (fd_ >= 0) {
        // libcurl hands over 16 KiB at a time; one write per round of socket activity is
        // cheaper. The batch never grows past its first reservation.
        if (pendingWrite_.size() + length > kWriteBatch && !flushWrites()) {
            return 0;
        }
        if (length >= kWriteBatch) {
            if (!writeAll(fd_, data, length)) {
                abortReason_ =
                    std::string("Could not write the downloaded file: ") + std::strerror(errno);
                abortDeletesFile_ = true;
                return 0;
            }
        } else {
            if (pendingWrite_.capacity() < kWriteBatch) {
                pendingWrite_.reserve(kWriteBatch);
            }
            pendingWrite_.append(data, length);
        }
    }
    // One delegate call per round of socket activity, however many blocks curl handed over.
    if (!events_.empty()) {
        if (auto* pending = std::get_if<Data>(&events_.back())) {
            pending->length += length;
            return length;
        }
    }
    events_.emplace_back(Data{length});
    return length;
}

int UrlTransfer::Impl::onSocketChange(CURL*, curl_socket_t socket, int what, void* self, void*) {
    auto* impl = static_cast<Impl*>(self);
    if (const auto it = impl->socketWatches_.find(socket); it != impl->socketWatches_.end()) {
        g_source_remove(it->second);
        impl->socketWatches_.erase(it);
    }
    if (what == CURL_POLL_REMOVE || !impl->attached_) {
        return 0;
    }
    int condition = G_IO_HUP | G_IO_ERR;
    if (what == CURL_POLL_IN || what == CURL_POLL_INOUT) {
        condition |= G_IO_IN;
    }
    if (what == CURL_POLL_OUT || what == CURL_POLL_INOUT) {
        condition |= G_IO_OUT;
    }
    // Idle priority: a socket that is always ready must not starve window redraws.
    impl->socketWatches_[socket] =
        g_unix_fd_add_full(G_PRIORITY_DEFAULT_IDLE, socket, static_cast<GIOCondition>(condition),
                           &Impl::onSocketReady, impl, nullptr);
    return 0;
}

int UrlTransfer::Impl::onTimerChange(CURLM*, long timeoutMs, void* self) {
    auto* impl = static_cast<Impl*>(self);
    if (impl->curlTimer_ != 0) {
        g_source_remove(impl->curlTimer_);
        impl->curlTimer_ = 0;
    }
    if (timeoutMs >= 0 && impl->attached_) {
        impl->curlTimer_ =
            g_timeout_add_full(G_PRIORITY_DEFAULT_IDLE, static_cast<guint>(timeoutMs),
                               &Impl::onCurlTimer, impl, nullptr);
    }
    return 0;
}

gboolean UrlTransfer::Impl::onSocketReady(gint fd, GIOCondition condition, gpointer self) {
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
    // The source may be gone after this (curl dropped the socket, or the transfer was
    // destroyed); GLib copes with a destroyed source asking to continue.
    static_cast<Impl*>(self)->drive(fd, events);
    return G_SOURCE_CONTINUE;
}

gboolean UrlTransfer::Impl::onCurlTimer(gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    impl->curlTimer_ = 0; // curl may set a new timer while we drive it
    impl->drive(CURL_SOCKET_TIMEOUT, 0);
    return G_SOURCE_REMOVE;
}

void UrlTransfer::Impl::armIdleTimer(gint64 delayUs) {
    const gint64 delayMs = std::max<gint64>(1, (delayUs + 999) / 1000);
    idleTimer_ = g_timeout_add_full(G_PRIORITY_DEFAULT_IDLE, static_cast<guint>(delayMs),
                                    &Impl::onIdleCheck, this, nullptr);
}

gboolean UrlTransfer::Impl::onIdleCheck(gpointer self) {
    // Re-armed lazily from the last activity, so receiving data costs no timer churn.
    auto* impl = static_cast<Impl*>(self);
    impl->idleTimer_ = 0;
    const gint64 idle = g_get_monotonic_time() - impl->lastActivity_;
    if (idle >= impl->timeoutUs_) {
        impl->failNow("The request timed out.");
    } else {
        impl->armIdleTimer(impl->timeoutUs_ - idle);
    }
    return G_SOURCE_REMOVE;
}

gboolean UrlTransfer::Impl::onStartFailure(gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    impl->startFailureSource_ = 0;
    impl->failNow(impl->startFailure_);
    return G_SOURCE_REMOVE;
}

void UrlTransfer::Impl::drive(curl_socket_t socket, int events) {
    int stillRunning = 0;
    curl_multi_socket_action(multi_, socket, events, &stillRunning);
    if (phase_ == Phase::Active && !flushWrites()) {
        detachFromCurl();
        removeSources();
        queueFailure(*abortReason_, true);
    }
    collectCompletion();
    dispatch();
}

bool UrlTransfer::Impl::flushWrites() {
    if (pendingWrite_.empty() || fd_ < 0) {
        pendingWrite_.clear();
        return true;
    }
    const bool written = writeAll(fd_, pendingWrite_.data(), pendingWrite_.size());
    pendingWrite_.clear();
    if (!written) {
        abortReason_ = std::string("Could not write the downloaded file: ") + std::strerror(errno);
        abortDeletesFile_ = true;
    }
    return written;
}

void UrlTransfer::Impl::collectCompletion() {
    int queued = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy_ &&
            phase_ == Phase::Active) {
            complete(message->data.result); // invalidates message
        }
    }
}

void UrlTransfer::Impl::complete(CURLcode result) {
    detachFromCurl();
    removeSources();
    long status = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    if (abortReason_) {
        queueFailure(*abortReason_, abortDeletesFile_);
    } else if (status >= 400) {
        queueFailure("The server answered with HTTP status " + std::to_string(status) + ".", false);
    } else if (result != CURLE_OK) {
        queueFailure(describe(result), false);
    } else {
        // An empty 2xx body still yields its (empty) file; a 304 leaves the destination alone.
        if (status / 100 == 2 && !openDestination()) {
            queueFailure(*abortReason_, false);
            return;
        }
        if (!flushWrites()) {
            queueFailure(*abortReason_, true);
            return;
        }
        if (!closeDestination()) {
            queueFailure(
                std::string("Could not write the downloaded file: ") + std::strerror(errno), true);
            return;
        }
        if (!responseQueued_) {
            queueResponse(status);
        }
        events_.emplace_back(Finished{});
        phase_ = Phase::Completed;
    }
}

void UrlTransfer::Impl::failNow(std::string description) {
    if (phase_ != Phase::Active) {
        return;
    }
    detachFromCurl();
    removeSources();
    queueFailure(std::move(description), false);
    dispatch();
}

void UrlTransfer::Impl::queueFailure(std::string description, bool alwaysDeleteFile) {
    closeDestination();
    if (deletesFileUponFailure_ || alwaysDeleteFile) {
        removeDestination();
    }
    events_.emplace_back(
        UrlError{maskUrlPasswordsInText(description), maskUrlPassword(effectiveUrl())});
    phase_ = Phase::Completed;
}

void UrlTransfer::Impl::queueResponse(long statusCode) {
    UrlResponse response;
    response.statusCode = statusCode;
    response.url = maskUrlPassword(effectiveUrl());
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK) {
        response.expectedContentLength = length >= 0 ? static_cast<std::int64_t>(length) : -1;
    }
    response.headerFields = std::move(headerFields_);
    headerFields_.clear();
    events_.emplace_back(std::move(response));
    responseQueued_ = true;
}

std::string UrlTransfer::Impl::describe(CURLcode result) const {
    if (result == CURLE_OPERATION_TIMEDOUT) {
        return "The request timed out.";
    }
    std::string description = curl_easy_strerror(result);
    const std::string_view detail = trimmed(errorBuffer_);
    if (!detail.empty() && detail != description) {
        description += " (" + std::string(detail) + ")";
    }
    long redirects = 0;
    curl_easy_getinfo(easy_, CURLINFO_REDIRECT_COUNT, &redirects);
    if (result == CURLE_UNSUPPORTED_PROTOCOL && redirects > 0) {
        description = "The server redirected to a location that is not allowed: " + description;
    }
    return description;
}

std::string UrlTransfer::Impl::effectiveUrl() const {
    char* url = nullptr;
    if (easy_ != nullptr && curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK &&
        url != nullptr && *url != '\0') {
        return url;
    }
    return request_.url;
}

void UrlTransfer::Impl::detachFromCurl() {
    if (attached_) {
        // Cleared first so the socket and timer callbacks made from here only remove.
        attached_ = false;
        curl_multi_remove_handle(multi_, easy_);
    }
}

void UrlTransfer::Impl::removeSources() {
    for (const auto& [socket, id] : socketWatches_) {
        g_source_remove(id);
    }
    socketWatches_.clear();
    for (guint* id : {&curlTimer_, &idleTimer_, &startFailureSource_}) {
        if (*id != 0) {
            g_source_remove(*id);
            *id = 0;
        }
    }
}

bool UrlTransfer::Impl::openDestination() {
    if (destination_.empty() || ownsFile_) {
        return true;
    }
    const int mode = allowOverwrite_ ? O_TRUNC : O_EXCL;
    fd_ = ::open(destination_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | mode, 0600);
    if (fd_ < 0) {
        abortReason_ =
            "Could not create the file " + destination_ + ": " + std::string(std::strerror(errno));
        return false;
    }
    ownsFile_ = true;
    struct stat status {};
    if (::fstat(fd_, &status) == 0) {
        fileIsRegular_ = S_ISREG(status.st_mode);
        fileDevice_ = status.st_dev;
        fileInode_ = status.st_ino;
    }
    return true;
}

bool UrlTransfer::Impl::closeDestination() {
    if (fd_ < 0) {
        return true;
    }
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0 || errno == EINTR;
}

void UrlTransfer::Impl::removeDestination() {
    if (!ownsFile_) {
        return;
    }
    ownsFile_ = false;
    // Only the regular file this transfer wrote: never a device such as /dev/null, nor a file
    // that replaced it meanwhile.
    struct stat status {};
    if (fileIsRegular_ && ::lstat(destination_.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        status.st_dev == fileDevice_ && status.st_ino == fileInode_) {
        ::unlink(destination_.c_str());
    }
}

void UrlTransfer::Impl::dispatch() {
    // A delegate running a nested main loop lets more events queue; the outer call delivers them.
    if (dispatching_) {
        return;
    }
    dispatching_ = true;
    const std::shared_ptr<bool> alive = alive_;
    while (!events_.empty() && phase_ != Phase::Ended) {
        Event event = std::move(events_.front());
        events_.pop_front();
        if (std::holds_alternative<Finished>(event) || std::holds_alternative<UrlError>(event)) {
            phase_ = Phase::Ended;
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
    dispatching_ = false;
}

UrlTransfer::UrlTransfer(UrlRequest request, UrlTransferDelegate& delegate)
    : impl_(std::make_unique<Impl>(std::move(request), delegate)) {}

UrlTransfer::~UrlTransfer() = default;

void UrlTransfer::setDestination(const std::string& path, bool allowOverwrite) {
    impl_->setDestination(path, allowOverwrite);
}

void UrlTransfer::setDeletesFileUponFailure(bool deletes) {
    impl_->setDeletesFileUponFailure(deletes);
}

void UrlTransfer::cancel() {
    impl_->cancel();
}

bool UrlTransfer::running() const {
    return impl_->running();
}

} // namespace qz::platform
