#pragma once

// The request side of a transfer: the libcurl options of a GET, the certificates HTTPS servers
// are checked against, and what libcurl's result means for the user.

#include "base/result.h"
#include "platform/transfer/url_transfer.h"

#include <ctime>
#include <curl/curl.h>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace qz::platform {

enum class PathKind { Missing, File, Directory };

// What is at a path, symbolic links followed; anything but a file or a directory is Missing.
using PathProbe = std::function<PathKind(const std::string& path)>;
PathKind pathKindOnDisk(const std::string& path);

// The certificates HTTPS servers are checked against: a bundle file (CURLOPT_CAINFO), a directory
// of hashed certificates (CURLOPT_CAPATH), or both; an empty one is not used.
struct CaCertificates {
    std::string file;
    std::string directory;
};

// SSL_CERT_FILE and SSL_CERT_DIR (`caFile`, `caDirectory`; empty when not set) are the user's
// choice: when either is set, exactly what is set is used, as given, without looking whether it
// exists, so that a wrong one fails the transfer rather than trusting something else. Otherwise
// the first of the distributions' usual places that `probe` finds: the bundle files, then the
// directories. When none is there, the failure says where we looked (noCaCertificatesReason).
Result<CaCertificates> findCaCertificates(const std::string& caFile, const std::string& caDirectory,
                                          const PathProbe& probe);

// Why HTTPS cannot be used when neither setting is set and none of the usual places exists.
Text noCaCertificatesReason();

struct CurlHeaderListDeleter {
    void operator()(curl_slist* list) const {
        curl_slist_free_all(list);
    }
};
using CurlHeaderList = std::unique_ptr<curl_slist, CurlHeaderListDeleter>;

// Sets the options of `easy` for a GET of the request's URL: redirects followed (at most 10),
// http and https only (from an https URL, redirects to https only), the connect time-out (0:
// libcurl's default), the request's extra header fields, the certificates findCaCertificates
// chooses (with none, no https at all). The returned list must outlive the handle's transfer.
CurlHeaderList setRequestOptions(CURL* easy, const UrlRequest& request, long connectTimeoutMs,
                                 char (&errorBuffer)[CURL_ERROR_SIZE]);

// A readable description of libcurl's result, with the detail of its error buffer: our own words
// put into the user's language where it is shown, libcurl's left in English, and any URL that
// libcurl quotes with its password masked.
Text describeCurlResult(CURL* easy, CURLcode result, const char* errorBuffer);

// Whether trying again may help: from libcurl's result, or from the final HTTP status when the
// result is not libcurl's own failure.
FailureKind failureKindOf(CURLcode result, long httpStatus);

// A Retry-After value (seconds, or an HTTP date) as seconds from `now`; none when unreadable.
std::optional<double> retryAfterSeconds(const std::string& value, std::time_t now);

// The URL that libcurl last used, or `requested` when it has none.
std::string effectiveUrl(CURL* easy, const std::string& requested);

} // namespace qz::platform
