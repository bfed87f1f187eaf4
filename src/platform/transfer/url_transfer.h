#pragma once

#include "base/result.h"
#include "platform/system/blake2b.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace qz::platform {

class EventLoop;

// "The server answered with HTTP status N.", for a failed transfer.
Failure httpStatusFailure(long status);

// The URLs in responses and errors, and any that libcurl quotes in an error's description, are
// meant for messages: the password of their user information is masked (url_text.h).
struct UrlResponse {
    long statusCode = 0;
    std::string url;                         // effective (final) URL
    std::int64_t expectedContentLength = -1; // -1 unknown
    // Of the final response only, in the order received; values trimmed of surrounding blanks.
    std::vector<std::pair<std::string, std::string>> headerFields;
    // Where the body of a 206 answer to a resumed transfer starts; 0 for a whole body.
    std::uint64_t resumedFrom = 0;

    // Case-insensitive lookup of the first field of that name.
    std::optional<std::string> headerField(std::string_view name) const;
};

// What kind of failure a transfer's is, decided once from libcurl's code and the HTTP status:
// whether trying again may help.
enum class FailureKind {
    Transient,  // the network or an overloaded server: no connection, a cut, a stall, a 503
    Refused,    // the server's or the URL's final word: a 404, a redirect loop, a bad URL
    NotTrusted, // the server's certificate could not be verified
    Local,      // this machine: the file could not be written
    Cancelled,
};

struct UrlError {
    // Why: reason() in English for the system log, shown() in the user's language (ours
    // translated, libcurl's own words left in English).
    Failure description;
    std::string failingURL;
    bool bodyTooLong = false; // past the maximum body length
    FailureKind kind = FailureKind::Refused;
    int curlCode = 0;    // CURLcode; 0 when the failure is not libcurl's
    long httpStatus = 0; // of the final response; 0 when none came
    // The server's Retry-After, in seconds from now.
    std::optional<double> retryAfter{};
    // Some try got an HTTP answer, of any status: the server is there.
    bool serverAnswered = false;
    // The server sent something that is not a zip archive (a captive portal's page).
    bool notAnArchive = false;
};

// Before a transient failure is tried again: how long the wait is, and which try comes next.
struct RetryNotice {
    double seconds = 0;
    int nextTry = 0;
    int maxTries = 0;
    bool serverBusy = false; // the server answered that it was busy, rather than not at all
};

// Called on the main thread from the event loop, one call at a time, in order:
// the response, data blocks, then exactly one of finished or failed. The response comes as soon
// as the header block of the final response has ended (not for 1xx, nor for a redirect that is
// followed), before any of its body. A failure may come without any response (bad URL, name
// resolution or connection errors, HTTP status >= 400).
class UrlTransferDelegate {
  public:
    virtual ~UrlTransferDelegate() = default;
    virtual void transferDidReceiveResponse(const UrlResponse& response) = 0;
    virtual void transferDidReceiveData(std::uint64_t length) = 0;
    virtual void transferDidFinish() = 0;
    virtual void transferDidFail(const UrlError& error) = 0;
    // A transfer that tries again says so before each wait, and once a second while it waits.
    virtual void transferWillRetry(const RetryNotice& /*notice*/) {}
    // A later try got the whole body again (the file changed on the server): the body starts
    // over, under this response's ETag.
    virtual void transferDidRestartBody(const UrlResponse& /*response*/) {}
};

struct UrlRequest {
    UrlRequest() = default;
    // Lets {url}, {url, timeout} and {url, timeout, headers} build a request without warnings.
    UrlRequest(std::string address, double timeout = 60.0,
               std::vector<std::pair<std::string, std::string>> headers = {})
        : url(std::move(address)), timeoutInterval(timeout), extraHeaders(std::move(headers)) {}

    std::string url;
    // Connect time-out, and the longest silence allowed between received header lines or data
    // blocks, in seconds; 0 or less: no limit on silence, and libcurl's own connect time-out.
    double timeoutInterval = 60.0;
    std::vector<std::pair<std::string, std::string>> extraHeaders; // e.g. If-None-Match
    std::string caFile; // certificates to trust instead of the system's, when not empty
    // The same as a directory of hashed certificates.
    std::string caDirectory;
};

// An HTTP(S) GET of one URL, following redirects, driven by the event loop.
// Only http and https are allowed, redirects included, and a redirect from https to http fails.
// An HTTP status >= 400 fails the transfer. The body goes to the destination file when one is
// set, and is counted but discarded otherwise.
//
// The delegate may call cancel() or destroy the transfer from any of its callbacks; no callback
// comes after that.
class UrlTransfer {
  public:
    // The transfer starts once the loop runs.
    UrlTransfer(EventLoop& loop, UrlRequest request, UrlTransferDelegate& delegate);
    // Cancels if still running.
    ~UrlTransfer();
    UrlTransfer(const UrlTransfer&) = delete;
    UrlTransfer& operator=(const UrlTransfer&) = delete;

    // To be called before the main loop runs. The file is created (mode 0600) when the first
    // body byte arrives, or at the end of an empty 2xx response; never for a 304 or a failure
    // before the body. Without allowOverwrite an existing file fails the transfer.
    void setDestination(const std::string& path, bool allowOverwrite);
    // Whether a failed transfer deletes the file it wrote (default false). A write error always
    // deletes it.
    void setDeletesFileUponFailure(bool deletes);
    // To be called before the main loop runs. The transfer fails as soon as the body would pass
    // this many bytes, or at once when the response announces more; what was written is deleted.
    void setMaximumBodyLength(std::uint64_t bytes);
    // To be called before the main loop runs: hash the body (BLAKE2b-512) as it arrives.
    void setHashesBody(bool hashes);
    // To be called before the main loop runs: keep the body in memory too (with a maximum body
    // length, so that it stays small).
    void setKeepsBody(bool keeps);
    // To be called before the main loop runs, after the setters above, with a Range request for
    // the rest: the destination's first `offset` bytes are kept (and hashed first). A 206 that
    // starts there is appended; a 200 starts the body again from nothing; any other range fails.
    void setResumeFrom(std::uint64_t offset);
    // To be called before the main loop runs: nothing is written to the destination until
    // goAhead(), which the delegate calls once it has seen the response (the body is held in
    // memory meanwhile).
    void setWaitsForGoAhead();
    Result<> goAhead();
    // The body's first bytes (up to 4), as they arrived from its start.
    std::string bodyPrefix() const;

    // The body's bytes received so far.
    std::uint64_t bodyLength() const;
    // Whether the transfer failed because the body passed the maximum length.
    bool bodyTooLong() const;
    // Once finished, with hashing asked for: the digest of the whole body.
    Result<Blake2b512Digest> bodyDigest() const;
    // The body kept in memory, when asked for.
    const std::string& body() const;
    // No callback comes after this, and the file written so far is deleted. Does nothing once
    // the final callback was made.
    void cancel();
    // As cancel(), but what reached the file stays there.
    void stopKeepingFile();
    // True until the final callback is made or the transfer is cancelled.
    bool running() const;

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace qz::platform
