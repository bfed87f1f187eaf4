#pragma once

#include "platform/transfer/url_transfer.h"

#include <curl/curl.h>
#include <memory>
#include <string>

namespace qz::platform {

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

// A readable description of libcurl's result, with the detail of its error buffer: in English,
// or (`translated`) with our own words in the user's language.
std::string describeCurlResult(CURL* easy, CURLcode result, const char* errorBuffer,
                               bool translated = false);

// The URL that libcurl last used, or `requested` when it has none.
std::string effectiveUrl(CURL* easy, const std::string& requested);

} // namespace qz::platform
